#include "WinSerialPort.h"

namespace {

// Until the client sets its own, a read waits as good as forever.
constexpr int OPEN_READ_TIMEOUT_MS = 2147483647;
// A write the line does not take within this ends short, which fails the
// exchange; the POSIX port's stall limit.
constexpr DWORD WRITE_TIMEOUT_MS = 5000;

bool toDcbParity(SerialPort::Parity parity, BYTE& out)
{
    switch (parity) {
    case SerialPort::ParityNone: out = NOPARITY; return true;
    case SerialPort::ParityOdd: out = ODDPARITY; return true;
    case SerialPort::ParityEven: out = EVENPARITY; return true;
    }
    return false;
}

bool toDcbStopBits(SerialPort::StopBit stop, BYTE& out)
{
    switch (stop) {
    case SerialPort::StopBitOne: out = ONESTOPBIT; return true;
    case SerialPort::StopBitOneFive: out = ONE5STOPBITS; return true;
    case SerialPort::StopBitTwo: out = TWOSTOPBITS; return true;
    }
    return false;
}

}  // namespace

WinSerialPort::WinSerialPort(const std::string& name, bool isUsb)
    : SerialPort(name), _handle(INVALID_HANDLE_VALUE), _isUsb(isUsb)
{
}

WinSerialPort::~WinSerialPort()
{
    WinSerialPort::close();
}

bool WinSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (isOpen())
        return false;

    const std::string path = "\\\\.\\" + _name;
    _handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!isOpen())
        return false;

    if (!configure(baud, data, parity, stop)) {
        close();
        return false;
    }
    timeout(OPEN_READ_TIMEOUT_MS);
    return true;
}

bool WinSerialPort::configure(int baud, int data, Parity parity, StopBit stop)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(_handle, &dcb))
        return false;

    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(data);
    if (!toDcbParity(parity, dcb.Parity) || !toDcbStopBits(stop, dcb.StopBits))
        return false;

    // A line left in XON/XOFF or error-replacing mode by another program would
    // silently eat or alter bytes of a firmware image.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    // Left-over handshakes would block every write (CTS or DSR low) or drop
    // every received byte (DSR sensitivity). DTR and RTS go up, as some USB
    // bridges send nothing until DTR is up.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // Some virtual COM drivers report both characters as 0, and SetCommState
    // refuses a state with equal ones even with XON/XOFF off.
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }

    return SetCommState(_handle, &dcb) != 0;
}

void WinSerialPort::close()
{
    if (!isOpen())
        return;
    CloseHandle(_handle);
    _handle = INVALID_HANDLE_VALUE;
}

bool WinSerialPort::isUsb()
{
    return _isUsb;
}

int WinSerialPort::read(uint8_t* data, int size)
{
    if (!isOpen())
        return -1;
    int total = 0;
    while (size > 0) {
        DWORD bytes = 0;
        if (!ReadFile(_handle, data, static_cast<DWORD>(size), &bytes, nullptr))
            return -1;
        // A whole window passed without a byte.
        if (bytes == 0)
            break;
        data += bytes;
        size -= static_cast<int>(bytes);
        total += static_cast<int>(bytes);
    }
    return total;
}

int WinSerialPort::write(const uint8_t* data, int size)
{
    if (!isOpen() || size < 0)
        return -1;
    DWORD bytes = 0;
    if (!WriteFile(_handle, data, static_cast<DWORD>(size), &bytes, nullptr))
        return -1;
    return static_cast<int>(bytes);
}

int WinSerialPort::get()
{
    if (!isOpen())
        return -1;
    uint8_t byte = 0;
    DWORD bytes = 0;
    if (!ReadFile(_handle, &byte, 1, &bytes, nullptr) || bytes != 1)
        return -1;
    return byte;
}

int WinSerialPort::put(int c)
{
    if (!isOpen())
        return -1;
    const uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    DWORD bytes = 0;
    if (!WriteFile(_handle, &byte, 1, &bytes, nullptr) || bytes != 1)
        return -1;
    return byte;
}

bool WinSerialPort::timeout(int millisecs)
{
    if (!isOpen())
        return false;
    // Each ReadFile returns when its count has arrived or millisecs after it
    // began, with whatever came; there is no per-byte allowance.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(millisecs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    return SetCommTimeouts(_handle, &timeouts) != 0;
}

bool WinSerialPort::flush()
{
    Sleep(1);
    return isOpen();
}
