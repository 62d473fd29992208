// What the file-writing tests share: a write run in a child process, which
// keeps privileges, limits and signals to itself, and looks at the result.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "files/FileReplace.h"
#include "PackageBuilder.h"

namespace filetest {

// An unprivileged account for the cases about permissions when run as root.
constexpr uid_t NOBODY = 65534;

// Every name under dir, recursively, relative to it.
inline std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        names.insert(e.path().lexically_relative(dir).string());
    return names;
}

struct Outcome {
    int exitCode = -1;  // 0: written, 1: refused
    int signal = 0;     // what stopped the child, if anything
    std::string error;
};

enum class As { Caller, Nobody };

// The write runs in a child, so privileges, limits and signals stay there.
inline Outcome writeInChild(const std::function<bool(std::string&)>& write, As as = As::Caller,
                     rlim_t sizeLimit = RLIM_INFINITY)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // A write that never ends (a signal handler that spins) fails the
        // test by SIGALRM instead of hanging it.
        alarm(30);
        // Without root's supplementary groups too, or the account could still
        // give files root's group.
        if (as == As::Nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
             setresuid(NOBODY, NOBODY, NOBODY) != 0))
            _exit(99);
        struct rlimit limit = {sizeLimit, sizeLimit};
        if (sizeLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(98);
        std::string error;
        bool ok = write(error);
        if (::write(fds[1], error.data(), error.size()) < 0)
            _exit(97);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    Outcome outcome;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        outcome.error.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    return outcome;
}

inline Outcome saveInChild(const std::string& path, const Bytes& data, As as = As::Caller,
                    rlim_t sizeLimit = RLIM_INFINITY)
{
    return writeInChild(
        [&](std::string& error) { return writeFileAtomically(path, data.data(), data.size(), error); }, as,
        sizeLimit);
}

inline void giveTo(const std::string& path, uid_t uid)
{
    if (geteuid() == 0) {
        ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path;
    }
}

inline struct stat statOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

}  // namespace filetest
