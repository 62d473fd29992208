// Running the built programs as child processes, with their resource use.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
    int status = -1;        // exit status, or -1 when killed or not started
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user and system
    long peakKb = 0;        // maximum resident set
};

// Path of a program built beside tarvo.
std::string binPath(const std::string& program);

// Starts argv with standard input from /dev/null, standard output to outFd
// and standard error to errFd (-1: /dev/null). Returns the pid, or -1.
int spawn(const std::vector<std::string>& argv, int outFd = -1, int errFd = -1);

// Runs argv to its end; its output goes to the file at outPath ("" = none).
ChildRun runChild(const std::vector<std::string>& argv, const std::string& outPath = "");

// A directory under /tmp, removed with everything in it when this goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};
