#include "ChildProcess.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using Clock = std::chrono::steady_clock;

double now()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string binPath(const std::string& program)
{
    return std::string(TARVO_BIN_DIR) + "/" + program;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    // Standard error goes to a file of its own, read when the child ends.
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-err-XXXXXX").string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) {
        _result.how = "no file for its standard error";
        return;
    }
    ::close(fd);
    _errPath = pattern;
    _started = now();
    std::string error;
    _process = startProcess(argv, _errPath, error);
    if (!_process)
        _result.how = error;
}

ChildProcess::~ChildProcess()
{
    _process.reset();
    if (!_errPath.empty())
        ::unlink(_errPath.c_str());
}

bool ChildProcess::waitForOutput(const std::string& text, int waitMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (_result.out.find(text) == std::string::npos) {
        int left = msLeft(deadline);
        if (!_process || left == 0 || !_process->read(_result.out, left))
            return false;
    }
    return true;
}

void ChildProcess::signal(int sig)
{
    if (_process)
        ::kill(static_cast<pid_t>(_process->id()), sig);
}

bool ChildProcess::ended(int waitMs)
{
    if (!_process)
        return true;
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (_process->ended(0))
            return true;
        const int left = msLeft(deadline);
        if (left == 0)
            return false;
        // Reads on, so a child that prints much is never held by a full pipe.
        if (!_process->read(_result.out, std::min(left, 10)))
            return _process->ended(msLeft(deadline));
    }
}

ProcessResult ChildProcess::finish(int timeoutMs)
{
    if (!_process)
        return _result;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (_process->read(_result.out, msLeft(deadline))) {
        if (msLeft(deadline) == 0) {
            _result.timedOut = true;
            ::kill(static_cast<pid_t>(_process->id()), SIGKILL);
            break;
        }
    }
    const ProcessEnd end = _process->wait();
    _result.wallSeconds = now() - _started;
    _result.how = _result.timedOut ? "timed out, " + end.how : end.how;
    if (!_result.timedOut && end.exited)
        _result.status = end.status;
    _result.cpuSeconds = end.cpuSeconds;
    _result.peakKb = end.peakKb;
    std::ifstream err(_errPath, std::ios::binary);
    _result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    _process.reset();
    return _result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs)
{
    return ChildProcess(argv).finish(timeoutMs);
}
