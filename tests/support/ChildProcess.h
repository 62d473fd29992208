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

// A child whose output can be watched while it runs. Its standard input is
// /dev/null. A child still running when this goes is killed.
class ChildProcess {
public:
    // argv[0] is the program's path.
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Collects output until text has appeared on standard output, the child
    // closed its output, or waitMs passed; true when the text appeared.
    bool waitForOutput(const std::string& text, int waitMs);
    const std::string& out() const { return _result.out; }
    void signal(int sig);
    // Collects the rest and the exit status; a child that outlives
    // timeoutMs is killed and reported as timed out.
    ProcessResult finish(int timeoutMs);

private:
    // Reads what is there within waitMs; false once both outputs are closed.
    bool collect(int waitMs);

    int _pid = -1;
    int _fds[2] = {-1, -1};
    ProcessResult _result;
};

// argv[0] is the program's path; the child's standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs = 60000);

// Path of a program built in this tree (tarvo, tarvo-sim, ...).
std::string binPath(const std::string& program);
