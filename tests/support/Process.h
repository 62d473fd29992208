// Runs a program as a child process and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;        // exit status, or -1 when killed or not started
    bool timedOut = false;
    std::string out;
    std::string err;
};

// argv[0] is the program's path; the child's standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs = 60000);

// Path of a program built in this tree (tarvo, tarvo-sim, ...).
std::string binPath(const std::string& program);
