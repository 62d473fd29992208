#include "Spawn.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

std::string binPath(const std::string& program)
{
    return std::string(TARVO_BIN_DIR) + "/" + program;
}

int spawn(const std::vector<std::string>& argv, int outFd, int errFd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int devNull = ::open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(outFd >= 0 ? outFd : devNull, 1);
    dup2(errFd >= 0 ? errFd : devNull, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

ChildRun runChild(const std::vector<std::string>& argv, const std::string& outPath)
{
    ChildRun run;
    int outFd = -1;
    if (!outPath.empty())
        outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    pid_t pid = spawn(argv, outFd, outFd);
    if (outFd >= 0)
        ::close(outFd);
    if (pid < 0)
        return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakKb = usage.ru_maxrss;
    return run;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/tarvo-bench-XXXXXX";
    if (mkdtemp(pattern))
        _path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!_path.empty())
        std::filesystem::remove_all(_path, ec);
}
