// The hint after a named port that this user may not open.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "PosixPortFactory.h"
#include "TarvoRun.h"

namespace {

const uid_t UNPRIVILEGED = 65534;

// Runs tarvo -p PORT -i in a child without root's override of file
// permissions; returns its exit status and standard error.
std::pair<int, std::string> runUnprivileged(const std::string& port)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, "pipe failed"};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 ||
                               setresgid(UNPRIVILEGED, UNPRIVILEGED, UNPRIVILEGED) != 0 ||
                               setresuid(UNPRIVILEGED, UNPRIVILEGED, UNPRIVILEGED) != 0))
            _exit(99);
        PosixPortFactory factory;
        TarvoRun run = runTarvoInProcess({"-p", port, "-i"}, factory);
        const std::string& err = run.err;
        if (write(fds[1], err.data(), err.size()) != static_cast<ssize_t>(err.size()))
            _exit(98);
        _exit(run.status);
    }
    close(fds[1]);
    std::string err;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        err.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

TEST(PermissionHint, OnlyAPortThisUserMayNotOpenGetsTheHint)
{
    char base[] = "/tmp/tarvo-perm-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string dir = base;
    ASSERT_EQ(chmod(base, 0755), 0);
    // A FIFO behind a folder nobody may enter, as a device of a group the
    // user is not in; a plain file anyone may open, which is no terminal.
    const std::string locked = dir + "/locked";
    const std::string fifo = locked + "/ttyACM0";
    const std::string plain = dir + "/plain";
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    int fd = open(plain.c_str(), O_CREAT | O_WRONLY, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(plain.c_str(), 0666), 0);

    const std::string tried = "Try to open USB device ... ";
    const struct {
        std::string port;
        std::string err;
    } cases[] = {
        {fifo, tried + "No device found on " + fifo +
                   "\nPermission denied: add your user to the 'dialout' group (or the group "
                   "that owns " + fifo + ") and log in again\n"},
        {plain, tried + "No device found on " + plain + "\n"},
        {dir + "/missing", tried + "No device found on " + dir + "/missing\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        auto [status, err] = runUnprivileged(c.port);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(err, c.err);
    }

    chmod(locked.c_str(), 0700);
    unlink(fifo.c_str());
    rmdir(locked.c_str());
    unlink(plain.c_str());
    rmdir(base);
}

}  // namespace
