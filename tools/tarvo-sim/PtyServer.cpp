#include "PtyServer.h"


#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileReplace.h"
#include "PosixFd.h"

namespace {

volatile sig_atomic_t g_stop = 0;
int g_wakePipe[2] = {-1, -1};

void onSignal(int sig)
{
    if (sig != SIGCHLD && !g_stop)
        g_stop = sig;
    int saved = errno;
    if (write(g_wakePipe[1], "x", 1) < 0) {
    }
    errno = saved;
}

uint64_t monotonicUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Flash changes are saved once the line has been quiet this long, so that a
// firmware install does not rewrite the file for every page.
constexpr uint64_t SAVE_QUIET_US = 100000;

size_t flashChanges(const SimAdapter& adapter)
{
    return adapter.record.erasedRows.size() + adapter.record.writtenPages.size();
}

bool writeStats(const SimAdapter& adapter, const std::string& path)
{
    const SimRecord& r = adapter.record;
    char text[640];
    int n = snprintf(text, sizeof(text),
                     "exchanges %llu\ncommands %zu\nrows_erased %zu\npages_written %zu\n"
                     "bootloader_touches %zu\nresets %u\njumps %zu\nreplies %llu\nbytes_in %llu\n"
                     "bytes_out %llu\nread_replies %llu\nread_bytes_in %llu\n"
                     "read_bytes_out %llu\nread_data %llu\n",
                     static_cast<unsigned long long>(r.exchanges), r.commands.size(),
                     r.erasedRows.size(), r.writtenPages.size(), r.bootloaderTouches.size(),
                     r.resets, r.jumps.size(), static_cast<unsigned long long>(r.replies),
                     static_cast<unsigned long long>(r.bytesIn),
                     static_cast<unsigned long long>(r.bytesOut),
                     static_cast<unsigned long long>(r.readReplies),
                     static_cast<unsigned long long>(r.readBytesIn),
                     static_cast<unsigned long long>(r.readBytesOut),
                     static_cast<unsigned long long>(r.readData));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(text))
        return false;
    std::string error;
    return writeFileAtomically(path, reinterpret_cast<const uint8_t*>(text),
                               static_cast<size_t>(n), error);
}

// The timing model's delays are in microseconds; whole milliseconds would
// add up to a millisecond to every reply.
int waitFor(pollfd* fds, int nfds, uint64_t us)
{
#if defined(__linux__)
    timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
    return ppoll(fds, static_cast<nfds_t>(nfds), &ts, nullptr);
#else
    return poll(fds, static_cast<nfds_t>(nfds), static_cast<int>((us + 999) / 1000));
#endif
}

pid_t startCommand(const std::vector<std::string>& command, const std::string& tty)
{
    std::vector<std::string> args;
    for (std::string arg : command) {
        for (size_t at = arg.find("{}"); at != std::string::npos; at = arg.find("{}", at + tty.size()))
            arg.replace(at, 2, tty);
        args.push_back(arg);
    }
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        signal(SIGCHLD, SIG_DFL);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tarvo-sim: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

}  // namespace

int servePty(SimAdapter& adapter, const ServeOptions& options)
{
    termios raw;
    memset(&raw, 0, sizeof(raw));
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    int masterFd = -1, slaveFd = -1;
    if (openpty(&masterFd, &slaveFd, nullptr, &raw, nullptr) != 0) {
        fprintf(stderr, "tarvo-sim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    PosixFd master(masterFd), slave(slaveFd);
    // Our own slave descriptor keeps the line from hanging up between runs.
    fcntl(master.get(), F_SETFL, fcntl(master.get(), F_GETFL) | O_NONBLOCK);
    const char* name = ttyname(slave.get());
    if (!name) {
        fprintf(stderr, "tarvo-sim: the pseudo-terminal has no name\n");
        return 1;
    }
    std::string tty = name;

    if (!options.linkPath.empty()) {
        unlink(options.linkPath.c_str());
        if (symlink(tty.c_str(), options.linkPath.c_str()) != 0) {
            fprintf(stderr, "tarvo-sim: cannot link %s: %s\n", options.linkPath.c_str(),
                    strerror(errno));
            return 1;
        }
    }

    // A new opener of the terminal is a new connection to the adapter.
    PosixFd watch;
#if defined(__linux__)
    watch.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch.get() >= 0)
        inotify_add_watch(watch.get(), tty.c_str(), IN_OPEN);
#endif

    if (pipe(g_wakePipe) != 0)
        return 1;
    fcntl(g_wakePipe[0], F_SETFL, O_NONBLOCK);
    fcntl(g_wakePipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);

#if defined(__linux__)
    // The kernel may let a sleep run 50 us long by default; the timing
    // model's byte times are shorter than that.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    printf("%s\n", tty.c_str());
    fflush(stdout);

    pid_t child = options.command.empty() ? -1 : startCommand(options.command, tty);
    int status = 0;

    const uint64_t t0 = monotonicUs();
    size_t savedChanges = flashChanges(adapter);
    uint64_t lastHeardUs = 0;
    std::vector<uint8_t> out;

    while (!g_stop) {
        uint64_t now = monotonicUs() - t0;

        if (child > 0) {
            int wstatus;
            if (waitpid(child, &wstatus, WNOHANG) == child) {
                status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
                break;
            }
        }

        // Move ready reply bytes to the terminal.
        size_t ready = adapter.pending(now);
        if (ready > 0) {
            size_t old = out.size();
            out.resize(old + ready);
            out.resize(old + adapter.take(out.data() + old, ready, now));
        }
        if (!out.empty()) {
            ssize_t n = write(master.get(), out.data(), out.size());
            if (n > 0)
                out.erase(out.begin(), out.begin() + n);
        }

        bool quiet = now - lastHeardUs >= SAVE_QUIET_US;
        if (!options.stateFile.empty() && quiet && flashChanges(adapter) != savedChanges) {
            if (adapter.saveFlash(options.stateFile))
                savedChanges = flashChanges(adapter);
        }

        uint64_t waitUs = 1000000;
        uint64_t next = adapter.nextReadyUs();
        if (!out.empty())
            waitUs = 1000;
        else if (next != SimAdapter::NEVER)
            waitUs = next <= now ? 0 : next - now;
        if (!options.stateFile.empty() && flashChanges(adapter) != savedChanges)
            waitUs = std::min(waitUs, SAVE_QUIET_US);

        pollfd fds[3] = {{master.get(), POLLIN, 0}, {g_wakePipe[0], POLLIN, 0},
                         {watch.get(), POLLIN, 0}};
        int nfds = watch.get() >= 0 ? 3 : 2;
        if (waitFor(fds, nfds, waitUs) < 0 && errno != EINTR)
            break;
        now = monotonicUs() - t0;

        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(g_wakePipe[0], drain, sizeof(drain)) > 0) {
            }
        }
#if defined(__linux__)
        if (nfds == 3 && (fds[2].revents & POLLIN)) {
            alignas(inotify_event) char events[4096];
            bool opened = false;
            ssize_t n;
            while ((n = read(watch.get(), events, sizeof(events))) > 0) {
                for (char* p = events; p < events + n;) {
                    auto* ev = reinterpret_cast<inotify_event*>(p);
                    opened = opened || (ev->mask & IN_OPEN);
                    p += sizeof(inotify_event) + ev->len;
                }
            }
            if (opened) {
                termios line;
                int baud = 115200;
                if (tcgetattr(master.get(), &line) == 0 && cfgetispeed(&line) == B921600)
                    baud = 921600;
                out.clear();
                adapter.hostOpened(baud, now);
            }
        }
#endif
        if (fds[0].revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n;
            while ((n = read(master.get(), buf, sizeof(buf))) > 0) {
                adapter.receive(buf, static_cast<size_t>(n), now);
                lastHeardUs = now;
            }
        }
    }

    if (child > 0 && g_stop) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    // Ended by a signal: a script must be able to tell it from a clean end.
    if (g_stop)
        status = 128 + g_stop;
    if (!options.stateFile.empty() && !adapter.saveFlash(options.stateFile)) {
        fprintf(stderr, "tarvo-sim: cannot save %s\n", options.stateFile.c_str());
        status = status ? status : 1;
    }
    if (!options.statsFile.empty() && !writeStats(adapter, options.statsFile)) {
        fprintf(stderr, "tarvo-sim: cannot write %s\n", options.statsFile.c_str());
        status = status ? status : 1;
    }
    if (!options.linkPath.empty())
        unlink(options.linkPath.c_str());
    return status;
}
