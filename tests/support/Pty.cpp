#include "Pty.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <algorithm>
#include <chrono>
#include <thread>

Pty Pty::open()
{
    Pty pty;
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return pty;
    pty.master.reset(master);
    pty.slave.reset(slave);
    termios tio;
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    pty.path = name;
    return pty;
}

Bytes readFrom(int fd, size_t count, int waitMs)
{
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0)
            break;
        size_t want = std::min(sizeof buf, count - out.size());
        ssize_t n = ::read(fd, buf, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

bool writeTo(int fd, const Bytes& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool waitQueued(int fd, int count)
{
    for (int i = 0; i < 2000; i++) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0)
            return false;
        if (queued >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
