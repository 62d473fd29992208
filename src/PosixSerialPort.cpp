#include "PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <climits>

#if defined(__APPLE__)
// The serial driver's request for a speed termios cannot name, as IOKit's
// serial header defines it (_IOW('T', 2, speed_t)); that header is part of
// a framework the build does without. It must follow tcsetattr, which would
// set the speed back.
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

#include "Pause.h"
#include "PosixLineSettings.h"

namespace {

bool configureLine(int fd, int baud, int data, SerialPort::Parity parity, SerialPort::StopBit stop)
{
    termios current;
    LineSettings line;
    if (::tcgetattr(fd, &current) != 0 ||
        !makeLineSettings(current, baud, data, parity, stop, line))
        return false;
    if (::tcsetattr(fd, TCSANOW, &line.tio) != 0)
        return false;
#if defined(__APPLE__)
    if (line.ioctlSpeed != 0 && ::ioctl(fd, IOSSIOSPEED, &line.ioctlSpeed) != 0)
        return false;
#endif
    return true;
}

}  // namespace

PosixSerialPort::PosixSerialPort(const std::string& name, bool isUsb)
    : SerialPort(name), _isUsb(isUsb), _timeoutMs(INT_MAX)
{
}

PosixSerialPort::~PosixSerialPort() { close(); }

bool PosixSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (_fd.valid())
        return false;
    // Non-blocking so that opening never waits for carrier; reads and writes
    // wait in poll() instead.
    PosixFd fd(::open(_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return false;
    // Only a terminal will do; a wrong -p path (a file, /dev/null) ends here,
    // before anything is locked.
    termios probe;
    if (::tcgetattr(fd.get(), &probe) != 0)
        return false;
    // The lock comes before any setting, so a port in use keeps its line.
    // TIOCEXCL alone does not stop a privileged opener; the lock does, for
    // every program that asks for it.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return false;
    ::ioctl(fd.get(), TIOCEXCL);
    if (!configureLine(fd.get(), baud, data, parity, stop)) {
        ::ioctl(fd.get(), TIOCNXCL);
        return false;
    }
    // Some USB bridges send nothing until DTR is up; pseudo-terminals have
    // no modem lines and refuse, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd.get(), TIOCMBIS, &lines);

    _fd = std::move(fd);
    timeout(INT_MAX);
    return true;
}

void PosixSerialPort::close()
{
    if (!_fd.valid())
        return;
    // The exclusive flag belongs to the terminal, not to our descriptor; it
    // would outlive us while anyone else holds the terminal open.
    ::ioctl(_fd.get(), TIOCNXCL);
    _fd.reset();
}

PosixSerialPort::Wait PosixSerialPort::waitFor(short events, int millisecs) const
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millisecs);
    int left = millisecs;
    for (;;) {
        pollfd p{_fd.get(), events, 0};
        int rc = ::poll(&p, 1, left);
        if (rc > 0)
            // Pending data is taken even after a hang-up; the next pass fails.
            return (p.revents & events) ? Wait::Ready : Wait::Failed;
        if (rc == 0)
            return Wait::TimedOut;
        if (errno != EINTR)
            return Wait::Failed;
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (rest.count() <= 0)
            return Wait::TimedOut;
        left = static_cast<int>(rest.count());
    }
}

int PosixSerialPort::read(uint8_t* data, int size)
{
    if (!_fd.valid())
        return -1;
    if (size <= 0)
        return 0;
    int total = 0;
    while (total < size) {
        // Every pass gets a whole window of its own.
        Wait w = waitFor(POLLIN, _timeoutMs);
        if (w == Wait::TimedOut)
            return total;
        if (w == Wait::Failed)
            return -1;
        ssize_t n = ::read(_fd.get(), data + total, static_cast<size_t>(size - total));
        if (n > 0)
            total += static_cast<int>(n);
        else if (n == 0)
            return -1;  // end of file: the other side hung up
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
    }
    return total;
}

int PosixSerialPort::write(const uint8_t* data, int size)
{
    if (!_fd.valid() || size < 0)
        return -1;
    int total = 0;
    while (total < size) {
        ssize_t n = ::write(_fd.get(), data + total, static_cast<size_t>(size - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Wait w = waitFor(POLLOUT, WRITE_STALL_MS);
            if (w == Wait::Failed)
                return -1;
            if (w == Wait::TimedOut)
                return total;
            continue;
        }
        return -1;
    }
    return total;
}

int PosixSerialPort::get()
{
    uint8_t byte = 0;
    return read(&byte, 1) == 1 ? byte : -1;
}

int PosixSerialPort::put(int c)
{
    const uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    return write(&byte, 1) == 1 ? byte : -1;
}

bool PosixSerialPort::timeout(int millisecs)
{
    if (!_fd.valid() || millisecs < 0)
        return false;
    _timeoutMs = millisecs;
    return true;
}

int PosixSerialPort::outputQueued() const
{
    int queued = 0;
    return ::ioctl(_fd.get(), TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// tcdrain() would wait for ever on a USB device that stops taking data while
// still enumerated; the queue is watched instead, and a stall gives up.
bool PosixSerialPort::flush()
{
    if (!_fd.valid())
        return false;
    int last = -1;
    uint64_t movedMs = 0;
    for (;;) {
        int queued = outputQueued();
        if (queued <= 0)
            return queued == 0;
        if (queued != last) {
            last = queued;
            movedMs = clock_ms();
        } else if (clock_ms() - movedMs >= WRITE_STALL_MS) {
            return false;
        }
        pause_ms(1);
    }
}
