#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

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
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0)
        return;
    if (pipe(errPipe) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return;
    }
    _pid = fork();
    if (_pid == 0) {
        int devNull = ::open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    _fds[0] = outPipe[0];
    _fds[1] = errPipe[0];
}

ChildProcess::~ChildProcess()
{
    if (_pid > 0) {
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }
    for (int fd : _fds)
        if (fd >= 0)
            ::close(fd);
}

bool ChildProcess::collect(int waitMs)
{
    pollfd fds[2] = {{_fds[0], POLLIN, 0}, {_fds[1], POLLIN, 0}};
    if (_fds[0] < 0 && _fds[1] < 0)
        return false;
    if (poll(fds, 2, waitMs) <= 0)
        return true;
    for (int i = 0; i < 2; i++) {
        if (_fds[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[4096];
        ssize_t n = ::read(_fds[i], buf, sizeof(buf));
        if (n <= 0) {
            ::close(_fds[i]);
            _fds[i] = -1;
        } else {
            (i == 0 ? _result.out : _result.err).append(buf, static_cast<size_t>(n));
        }
    }
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, int waitMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (_result.out.find(text) == std::string::npos) {
        int left = msLeft(deadline);
        if (left == 0 || !collect(left))
            return false;
    }
    return true;
}

void ChildProcess::signal(int sig)
{
    if (_pid > 0)
        kill(_pid, sig);
}

ProcessResult ChildProcess::finish(int timeoutMs)
{
    if (_pid <= 0)
        return _result;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (collect(msLeft(deadline))) {
        if (msLeft(deadline) == 0) {
            _result.timedOut = true;
            kill(_pid, SIGKILL);
            break;
        }
    }
    int wstatus = 0;
    waitpid(_pid, &wstatus, 0);
    _pid = -1;
    if (!_result.timedOut && WIFEXITED(wstatus))
        _result.status = WEXITSTATUS(wstatus);
    return _result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs)
{
    return ChildProcess(argv).finish(timeoutMs);
}
