// A child process whose standard output the parent reads: how a program runs
// work in processes of its own. Implemented per platform (PosixProcess,
// WinProcess).
#pragma once

#include <memory>
#include <string>
#include <vector>

// How a child ended.
struct ProcessEnd {
    bool exited = false;  // ended by returning from main or exit()
    int status = -1;      // its exit status, when exited
    std::string how;      // "exit status 1", "killed by signal 9", ...
    // What it used: user and system time, and its largest resident set.
    // On POSIX the children it waited for count too; on Windows it alone.
    double cpuSeconds = 0;
    long peakKb = 0;
};

class Process {
public:
    using Ptr = std::unique_ptr<Process>;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // A child still running is killed and waited for.
    virtual ~Process() = default;

    // Blocks until the child wrote something or closed its output; appends
    // what came to out. False once the output is closed.
    virtual bool read(std::string& out) = 0;
    // The same, waiting at most waitMs; true also when nothing came in time.
    virtual bool read(std::string& out, int waitMs) = 0;
    // Whether the child has ended, waiting at most waitMs; it is not reaped,
    // so what the system keeps of it can still be read.
    virtual bool ended(int waitMs) = 0;
    // The system's number for the child (pid or process id).
    virtual long id() const = 0;
    // Waits for the child to end (once; later calls return the same end).
    virtual ProcessEnd wait() = 0;
    // Asks the child to end (SIGTERM on POSIX; at once on Windows).
    virtual void terminate() = 0;
};

// Starts argv[0] with the arguments argv. Its standard input is the null
// device, its standard output a pipe to the parent, its standard error the
// file errPath (appended) or the null device when errPath is empty. The
// child does not get the terminal's Ctrl-C (a process group of its own; on
// Windows a hidden console too, so closing the parent's window spares it):
// the parent decides when it ends, and a child outlives a parent that dies.
// Null on failure, with the system's reason in error.
Process::Ptr startProcess(const std::vector<std::string>& argv, const std::string& errPath,
                          std::string& error);

// The path of the running program, to start it again; argv0 is the fallback.
std::string selfPath(const char* argv0);
