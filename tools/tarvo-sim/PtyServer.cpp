#include "PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

#include "files/FileReplace.h"
#include "files/PosixFd.h"

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

// Commands that write memory, prepare the flash or start code: none of them
// may come from a program that only reads.
size_t writingCommands(const SimRecord& r)
{
    size_t n = 0;
    for (const std::string& command : r.commands)
        n += !command.empty() && std::string("WOSXYxkG").find(command[0]) != std::string::npos;
    return n;
}

bool writeStats(const SimAdapter& adapter, const std::string& path)
{
    const SimRecord& r = adapter.record;
    char text[704];
    int n = snprintf(text, sizeof(text),
                     "exchanges %llu\ncommands %zu\nrows_erased %zu\npages_written %zu\n"
                     "bootloader_touches %zu\nresets %u\njumps %zu\nreplies %llu\nbytes_in %llu\n"
                     "bytes_out %llu\nwriting_commands %zu\nread_replies %llu\nread_bytes_in %llu\n"
                     "read_bytes_out %llu\nread_data %llu\n",
                     static_cast<unsigned long long>(r.exchanges), r.commands.size(),
                     r.erasedRows.size(), r.writtenPages.size(), r.bootloaderTouches.size(),
                     r.resets, r.jumps.size(), static_cast<unsigned long long>(r.replies),
                     static_cast<unsigned long long>(r.bytesIn),
                     static_cast<unsigned long long>(r.bytesOut), writingCommands(r),
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

// The pseudo-terminal the adapter is served on; our own slave descriptor
// keeps the line from hanging up between runs.
struct Terminal {
    PosixFd master, slave;
    std::string name;
};

bool openTerminal(Terminal& t)
{
    termios raw;
    memset(&raw, 0, sizeof(raw));
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    int masterFd = -1, slaveFd = -1;
    if (openpty(&masterFd, &slaveFd, nullptr, &raw, nullptr) != 0) {
        fprintf(stderr, "tarvo-sim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return false;
    }
    t.master.reset(masterFd);
    t.slave.reset(slaveFd);
    fcntl(t.master.get(), F_SETFL, fcntl(t.master.get(), F_GETFL) | O_NONBLOCK);
    const char* name = ttyname(t.slave.get());
    if (!name) {
        fprintf(stderr, "tarvo-sim: the pseudo-terminal has no name\n");
        return false;
    }
    t.name = name;
    return true;
}

// Only a symbolic link is replaced (one left by an earlier run): a file or
// folder of the user's at that name stays as it is.
bool makeLink(const std::string& tty, const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "tarvo-sim: cannot link %s: it exists and is not a link\n",
                    path.c_str());
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(tty.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "tarvo-sim: cannot link %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// Removes the link only while it still points at our terminal.
void removeLink(const std::string& tty, const std::string& path)
{
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == tty)
        unlink(path.c_str());
}

// A new opener of the terminal is a new connection to the adapter.
PosixFd watchOpens(const std::string& tty)
{
    PosixFd watch;
#if defined(__linux__)
    watch.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch.get() >= 0)
        inotify_add_watch(watch.get(), tty.c_str(), IN_OPEN);
#else
    (void)tty;
#endif
    return watch;
}

// Whether the terminal was opened since the last look.
bool drainOpens(int watch)
{
    bool opened = false;
#if defined(__linux__)
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while ((n = read(watch, events, sizeof(events))) > 0) {
        for (char* p = events; p < events + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            opened = opened || (ev->mask & IN_OPEN);
            p += sizeof(inotify_event) + ev->len;
        }
    }
#else
    (void)watch;
#endif
    return opened;
}

bool catchSignals()
{
    if (pipe(g_wakePipe) != 0)
        return false;
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
    return true;
}

// The serving loop's state between its steps.
class Session {
public:
    Session(SimAdapter& adapter, const ServeOptions& options, Terminal& terminal)
        : _adapter(adapter), _options(options), _terminal(terminal),
          _watch(watchOpens(terminal.name)), _t0(monotonicUs()),
          _savedChanges(flashChanges(adapter))
    {
    }

    // Until a signal, or the command's end (its status is then returned).
    int run(pid_t child)
    {
        while (!g_stop) {
            uint64_t now = monotonicUs() - _t0;
            int wstatus;
            if (child > 0 && waitpid(child, &wstatus, WNOHANG) == child)
                return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            sendReplies(now);
            saveWhenQuiet(now);
            pollfd fds[3] = {{_terminal.master.get(), POLLIN, 0}, {g_wakePipe[0], POLLIN, 0},
                             {_watch.get(), POLLIN, 0}};
            const int nfds = _watch.get() >= 0 ? 3 : 2;
            if (waitFor(fds, nfds, waitUs(now)) < 0 && errno != EINTR)
                break;
            now = monotonicUs() - _t0;
            if (fds[1].revents & POLLIN) {
                char drain[64];
                while (read(g_wakePipe[0], drain, sizeof(drain)) > 0) {
                }
            }
            if (nfds == 3 && (fds[2].revents & POLLIN) && drainOpens(_watch.get()))
                reconnect(now);
            if (fds[0].revents & POLLIN)
                receive(now);
        }
        return 0;
    }

private:
    // Moves ready reply bytes to the terminal.
    void sendReplies(uint64_t now)
    {
        const size_t ready = _adapter.pending(now);
        if (ready > 0) {
            const size_t old = _out.size();
            _out.resize(old + ready);
            _out.resize(old + _adapter.take(_out.data() + old, ready, now));
        }
        if (!_out.empty()) {
            const ssize_t n = write(_terminal.master.get(), _out.data(), _out.size());
            if (n > 0)
                _out.erase(_out.begin(), _out.begin() + n);
        }
    }

    bool unsaved() const
    {
        return !_options.stateFile.empty() && flashChanges(_adapter) != _savedChanges;
    }

    // The save runs beside the serving, from a copy of the flash: a real
    // adapter answers while its flash is kept, and a disk slow to sync must
    // not hold a reply past the host's window.
    void saveWhenQuiet(uint64_t now)
    {
        if (_saving.valid()) {
            if (_saving.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return;
            if (_saving.get())
                _savedChanges = _savingChanges;
        }
        if (now - _lastHeardUs < SAVE_QUIET_US || !unsaved())
            return;
        _savingChanges = flashChanges(_adapter);
        _saving = std::async(std::launch::async,
                             [path = _options.stateFile, image = _adapter.flash()] {
                                 std::string error;
                                 return writeFileAtomically(path, image.data(), image.size(), error);
                             });
    }

    uint64_t waitUs(uint64_t now) const
    {
        uint64_t wait = 1000000;
        const uint64_t next = _adapter.nextReadyUs();
        if (!_out.empty())
            wait = 1000;
        else if (next != SimAdapter::NEVER)
            wait = next <= now ? 0 : next - now;
        if (unsaved())
            wait = std::min(wait, SAVE_QUIET_US);
        return wait;
    }

    void reconnect(uint64_t now)
    {
        termios line;
        int baud = 115200;
        if (tcgetattr(_terminal.master.get(), &line) == 0 && cfgetispeed(&line) == B921600)
            baud = 921600;
        _out.clear();
        _adapter.hostOpened(baud, now);
    }

    void receive(uint64_t now)
    {
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(_terminal.master.get(), buf, sizeof(buf))) > 0) {
            _adapter.receive(buf, static_cast<size_t>(n), now);
            _lastHeardUs = now;
        }
    }

    SimAdapter& _adapter;
    const ServeOptions& _options;
    Terminal& _terminal;
    PosixFd _watch;
    const uint64_t _t0;
    size_t _savedChanges;
    uint64_t _lastHeardUs = 0;
    std::vector<uint8_t> _out;
    // A save under way (its future's end waits for it), and what it holds.
    std::future<bool> _saving;
    size_t _savingChanges = 0;
};

// The status after the serving ended: the state and the counters written.
int finish(SimAdapter& adapter, const ServeOptions& options, int status)
{
    if (!options.stateFile.empty() && !adapter.saveFlash(options.stateFile)) {
        fprintf(stderr, "tarvo-sim: cannot save %s\n", options.stateFile.c_str());
        status = status ? status : 1;
    }
    if (!options.statsFile.empty() && !writeStats(adapter, options.statsFile)) {
        fprintf(stderr, "tarvo-sim: cannot write %s\n", options.statsFile.c_str());
        status = status ? status : 1;
    }
    return status;
}

}  // namespace

int servePty(SimAdapter& adapter, const ServeOptions& options)
{
    Terminal terminal;
    if (!openTerminal(terminal))
        return 1;
    if (!catchSignals())
        return 1;
    if (!options.linkPath.empty() && !makeLink(terminal.name, options.linkPath))
        return 1;
    printf("%s\n", terminal.name.c_str());
    fflush(stdout);

    const pid_t child = options.command.empty() ? -1 : startCommand(options.command, terminal.name);
    int status = Session(adapter, options, terminal).run(child);
    if (child > 0 && g_stop) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    // Ended by a signal: a script must be able to tell it from a clean end.
    if (g_stop)
        status = 128 + g_stop;
    status = finish(adapter, options, status);
    if (!options.linkPath.empty())
        removeLink(terminal.name, options.linkPath);
    return status;
}
