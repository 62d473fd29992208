#include "files/PosixWriteGuard.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "files/PosixFileCalls.h"

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
const int STOP_SIGNAL_COUNT = sizeof(STOP_SIGNALS) / sizeof(STOP_SIGNALS[0]);

// The live guards, newest first, and the actions they displaced. Changed only
// with the stop signals blocked, so the handler always sees them whole.
WriteGuard* volatile g_guards = nullptr;
int g_depth = 0;
struct sigaction g_previous[STOP_SIGNAL_COUNT];
bool g_installed[STOP_SIGNAL_COUNT];
struct sigaction g_previousXfsz;

extern "C" void onWriteStopSignal(int sig)
{
    int savedErrno = errno;
    WriteGuard::undoAll();
    // The signal stays blocked until this returns, then meets the old action:
    // the default ends the process; a handler of the program's own runs, and
    // the write fails because it was stopped.
    for (int i = 0; i < STOP_SIGNAL_COUNT; i++)
        if (STOP_SIGNALS[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
    errno = savedErrno;
}

class StopSignalsBlocked {
public:
    StopSignalsBlocked()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : STOP_SIGNALS)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &_old);
    }
    ~StopSignalsBlocked() { sigprocmask(SIG_SETMASK, &_old, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t _old;
};

void install()
{
    for (int i = 0; i < STOP_SIGNAL_COUNT; i++) {
        struct sigaction sa {};
        sa.sa_handler = onWriteStopSignal;
        sigemptyset(&sa.sa_mask);
        for (int sig : STOP_SIGNALS)
            sigaddset(&sa.sa_mask, sig);
        sigaction(STOP_SIGNALS[i], nullptr, &g_previous[i]);
        // A signal the user chose to ignore stays ignored.
        g_installed[i] = g_previous[i].sa_handler != SIG_IGN && sigaction(STOP_SIGNALS[i], &sa, nullptr) == 0;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &g_previousXfsz);
}

void restore()
{
    for (int i = 0; i < STOP_SIGNAL_COUNT; i++)
        if (g_installed[i])
            sigaction(STOP_SIGNALS[i], &g_previous[i], nullptr);
    sigaction(SIGXFSZ, &g_previousXfsz, nullptr);
}

}  // namespace

void WriteGuard::undoAll()
{
    for (WriteGuard* g = g_guards; g; g = g->_next) {
        if (g->_haveTemp) {
            unlink(g->_tempName);
            g->_haveTemp = 0;
        }
        if (g->_appendFd >= 0 && ftruncate(g->_appendFd, g->_appendLength) != 0) {
        }
        g->_stopped = 1;
    }
}

WriteGuard::WriteGuard()
{
    StopSignalsBlocked blocked;
    if (g_depth++ == 0)
        install();
    _next = g_guards;
    g_guards = this;
}

WriteGuard::~WriteGuard()
{
    StopSignalsBlocked blocked;
    int savedErrno = errno;
    if (_haveTemp)
        unlink(_tempName);
    _haveTemp = 0;
    if (_appendFd >= 0 && (ftruncate(_appendFd, _appendLength) != 0 || posixFileCalls().fsync(_appendFd) != 0)) {
    }
    _appendFd = -1;
    for (WriteGuard* volatile* link = &g_guards; *link; link = &(*link)->_next)
        if (*link == this) {
            *link = _next;
            break;
        }
    if (--g_depth == 0)
        restore();
    errno = savedErrno;
}

int WriteGuard::createTemporary(std::string& pattern)
{
    if (pattern.size() >= sizeof(_tempName)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    StopSignalsBlocked blocked;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        pattern = name.data();
        memcpy(_tempName, name.data(), name.size());
        _haveTemp = 1;
    }
    return fd;
}

bool WriteGuard::commit(const std::string& target)
{
    StopSignalsBlocked blocked;
    if (_stopped) {
        errno = EINTR;
        return false;
    }
    int result = posixFileCalls().rename(_tempName, target.c_str());
    int savedErrno = errno;
    if (result != 0)
        unlink(_tempName);
    _haveTemp = 0;
    errno = savedErrno;
    return result == 0;
}

void WriteGuard::discard()
{
    StopSignalsBlocked blocked;
    int savedErrno = errno;
    if (_haveTemp)
        unlink(_tempName);
    _haveTemp = 0;
    errno = savedErrno;
}

void WriteGuard::guardAppend(int fd, off_t length)
{
    StopSignalsBlocked blocked;
    _appendLength = length;
    _appendFd = fd;
}

bool WriteGuard::finishAppend()
{
    StopSignalsBlocked blocked;
    if (_stopped) {
        errno = EINTR;
        return false;
    }
    _appendFd = -1;
    return true;
}
