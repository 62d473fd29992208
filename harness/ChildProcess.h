// Running the built programs as child processes, for the tests and the
// bench: what they print, how they end and what they used.
#pragma once

#include <string>
#include <vector>

#include "process/Process.h"

struct ProcessResult {
    int status = -1;        // exit status, or -1 when killed or not started
    bool timedOut = false;
    std::string how;        // "exit status 1", "killed by signal 9", ...
    std::string out;
    std::string err;
    double wallSeconds = 0; // from the start to the end
    double cpuSeconds = 0;  // user and system, with the children it waited for
    long peakKb = 0;        // its largest resident set, or its largest child's
};

// A child whose output can be watched while it runs. Its standard input is
// the null device and it has a process group of its own. A child still
// running when this goes is killed.
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
    // Its pid, -1 when it did not start; also its process group's.
    long pid() const { return _process ? _process->id() : -1; }
    void signal(int sig);
    // Whether it has ended, collecting output while waiting at most waitMs;
    // until finish() reaps it the system keeps what it used.
    bool ended(int waitMs);
    // Collects the rest and how it ended; a child that outlives timeoutMs is
    // killed and reported as timed out.
    ProcessResult finish(int timeoutMs);

private:
    Process::Ptr _process;
    std::string _errPath;
    double _started = 0;
    ProcessResult _result;
};

// Runs argv to its end (see ChildProcess).
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs = 60000);

// Path of a program built in this tree (tarvo, tarvo-sim, ...).
std::string binPath(const std::string& program);
