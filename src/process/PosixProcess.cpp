#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "files/PosixFd.h"
#include "process/Process.h"

extern char** environ;

namespace {

double seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

class PosixProcess : public Process {
public:
    PosixProcess(pid_t pid, PosixFd out) : _pid(pid), _out(std::move(out)) {}

    ~PosixProcess() override
    {
        {
            std::lock_guard<std::mutex> lock(_signalling);
            if (!_ended)
                ::kill(_pid, SIGKILL);
        }
        wait();
    }

    bool read(std::string& out) override
    {
        if (!_out.valid())
            return false;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(_out.get(), buffer, sizeof(buffer));
            if (n > 0) {
                out.append(buffer, static_cast<size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR)
                continue;
            _out.reset();
            return false;
        }
    }

    bool read(std::string& out, int waitMs) override
    {
        if (!_out.valid())
            return false;
        pollfd p{_out.get(), POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, waitMs < 0 ? 0 : waitMs);
        } while (rc < 0 && errno == EINTR);
        return rc == 0 || read(out);
    }

    bool ended(int waitMs) override
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(_waiting);
                if (_ended)
                    return true;
                siginfo_t info{};
                if (::waitid(P_PID, static_cast<id_t>(_pid), &info,
                             WEXITED | WNOWAIT | WNOHANG) == 0 &&
                    info.si_pid == _pid)
                    return true;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    long id() const override { return _pid; }

    ProcessEnd wait() override
    {
        std::lock_guard<std::mutex> hold(_waiting);
        if (_ended)
            return _end;
        // Waits without reaping first: until the child is reaped under the
        // lock, its pid cannot go to another process that terminate() hits.
        siginfo_t info;
        int rc;
        do {
            rc = ::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | WNOWAIT);
        } while (rc < 0 && errno == EINTR);
        std::lock_guard<std::mutex> lock(_signalling);
        int status = 0;
        rusage usage{};
        pid_t got;
        do {
            got = ::wait4(_pid, &status, 0, &usage);
        } while (got < 0 && errno == EINTR);
        _ended = true;
        if (got != _pid) {
            _end.how = std::string("lost: ") + strerror(errno);
        } else if (WIFEXITED(status)) {
            _end.exited = true;
            _end.status = WEXITSTATUS(status);
            _end.how = "exit status " + std::to_string(_end.status);
        } else if (WIFSIGNALED(status)) {
            _end.how = "killed by signal " + std::to_string(WTERMSIG(status));
        } else {
            _end.how = "ended abnormally";
        }
        _end.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
#if defined(__APPLE__)
        _end.peakKb = usage.ru_maxrss / 1024;  // bytes there
#else
        _end.peakKb = usage.ru_maxrss;
#endif
        return _end;
    }

    void terminate() override
    {
        std::lock_guard<std::mutex> lock(_signalling);
        if (!_ended)
            ::kill(_pid, SIGTERM);
    }

private:
    pid_t _pid;
    PosixFd _out;
    std::mutex _waiting;     // one waiter at a time
    std::mutex _signalling;  // no signal once the child is reaped
    bool _ended = false;
    ProcessEnd _end;
};

// posix_spawn's attributes and file actions, released on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

Process::Ptr startProcess(const std::vector<std::string>& argv, const std::string& errPath,
                          std::string& error)
{
    if (argv.empty()) {
        error = "no program";
        return nullptr;
    }
    // Both ends close on exec, so no other child holds the write end open.
    int fds[2];
#if defined(__linux__)
    int made = ::pipe2(fds, O_CLOEXEC);
#else
    int made = ::pipe(fds);
    if (made == 0) {
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    }
#endif
    if (made != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return nullptr;
    }
    PosixFd readEnd(fds[0]);
    PosixFd writeEnd(fds[1]);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 1);
    posix_spawn_file_actions_addopen(&setup.actions, 2,
                                     errPath.empty() ? "/dev/null" : errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Files this program was given open by whoever started it stay with it:
    // a worker holding its starter's pipe would keep that reader waiting.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
    // A process group of its own keeps the terminal's Ctrl-C away from it;
    // signals the parent ignores or blocks are set back to normal.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
#if defined(__APPLE__)
    // The same on macOS: what the actions above do not name is closed.
    const short closeOthers = POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
    const short closeOthers = 0;
#endif
    posix_spawnattr_setflags(&setup.attr,
                             static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                POSIX_SPAWN_SETSIGMASK | closeOthers));

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0].c_str(), &setup.actions, &setup.attr, args.data(), environ);
    if (rc != 0) {
        error = argv[0] + ": " + strerror(rc);
        return nullptr;
    }
    writeEnd.reset();
    return Process::Ptr(new PosixProcess(pid, std::move(readEnd)));
}

std::string selfPath(const char* argv0)
{
#if defined(__linux__)
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0)
        return std::string(path, static_cast<size_t>(n));
#elif defined(__APPLE__)
    // A program started through PATH has no folder in argv[0].
    char path[PATH_MAX];
    uint32_t size = sizeof(path);
    if (_NSGetExecutablePath(path, &size) == 0) {
        char real[PATH_MAX];
        return ::realpath(path, real) ? real : path;
    }
#endif
    return argv0 ? argv0 : "";
}
