// Owns one POSIX file descriptor and closes it when dropped.
#pragma once

#include <unistd.h>

class PosixFd {
public:
    PosixFd() = default;
    explicit PosixFd(int fd) : _fd(fd) {}
    PosixFd(PosixFd&& other) noexcept : _fd(other.release()) {}
    PosixFd& operator=(PosixFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    PosixFd(const PosixFd&) = delete;
    PosixFd& operator=(const PosixFd&) = delete;
    ~PosixFd() { reset(); }

    int get() const { return _fd; }
    bool valid() const { return _fd >= 0; }
    int release()
    {
        int fd = _fd;
        _fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (_fd >= 0)
            ::close(_fd);
        _fd = fd;
    }

private:
    int _fd = -1;
};
