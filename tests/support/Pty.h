// A pseudo-terminal pair for exercising serial ports without hardware. The
// test keeps the slave open too, so the terminal lives until the pair goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/PosixFd.h"

struct Pty {
    PosixFd master;
    PosixFd slave;
    std::string path;  // the slave's device path, what a port opens

    // An empty path means openpty() failed.
    static Pty open();
};

using Bytes = std::vector<uint8_t>;

// Reads from fd until count bytes came or waitMs passed without one.
Bytes readFrom(int fd, size_t count, int waitMs = 2000);
bool writeTo(int fd, const Bytes& data);
// Waits (bounded) until at least count bytes are queued for reading on fd.
bool waitQueued(int fd, int count);
