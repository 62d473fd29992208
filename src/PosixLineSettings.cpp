#include "PosixLineSettings.h"

namespace {

struct Speed {
    int baud;
    speed_t code;
};

const Speed SPEEDS[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedCode(int baud, speed_t& code)
{
    for (const Speed& s : SPEEDS) {
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    }
    return false;
}

bool setFraming(termios& tio, int data, SerialPort::Parity parity, SerialPort::StopBit stop)
{
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    switch (data) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: return false;
    }
    switch (parity) {
    case SerialPort::ParityNone: break;
    case SerialPort::ParityOdd: tio.c_cflag |= PARENB | PARODD; break;
    case SerialPort::ParityEven: tio.c_cflag |= PARENB; break;
    default: return false;
    }
    switch (stop) {
    case SerialPort::StopBitOne: break;
    case SerialPort::StopBitTwo: tio.c_cflag |= CSTOPB; break;
    default: return false;  // termios has no 1.5 stop bits
    }
    return true;
}

}  // namespace

bool makeLineSettings(const termios& current, int baud, int data, SerialPort::Parity parity,
                      SerialPort::StopBit stop, LineSettings& out)
{
    termios tio = current;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    // Every byte value must pass untouched: no software flow control and no
    // parity marking of received bytes.
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (!setFraming(tio, data, parity, stop))
        return false;

    speed_t code = B115200;
    speed_t ioctlSpeed = 0;
    if (!speedCode(baud, code)) {
#if defined(__APPLE__)
        // termios on macOS stops at 230400.
        if (baud == 460800 || baud == 921600)
            ioctlSpeed = static_cast<speed_t>(baud);
#endif
        if (ioctlSpeed == 0)
            return false;
    }
    if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0)
        return false;
    out.tio = tio;
    out.ioctlSpeed = ioctlSpeed;
    return true;
}
