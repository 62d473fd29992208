// A serial line on Linux or macOS, driven through termios and poll().
#pragma once

#include "files/PosixFd.h"
#include "SerialPort.h"

class PosixSerialPort : public SerialPort {
public:
    // name is the device path (/dev/ttyACM0, a /dev/serial/by-id link, a pty).
    PosixSerialPort(const std::string& name, bool isUsb);
    ~PosixSerialPort() override;

    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _isUsb; }
    int read(uint8_t* data, int size) override;
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    bool timeout(int millisecs) override;
    // Waits for the output queue to empty, giving up (false) once it has
    // not moved for WRITE_STALL_MS.
    bool flush() override;

    // How long a write or flush may make no progress before it gives up; a
    // line whose peer stopped reading must not hang the tool.
    static constexpr int WRITE_STALL_MS = 5000;

protected:
    // Bytes written but not yet sent, or -1 when the line cannot tell.
    virtual int outputQueued() const;

private:
    enum class Wait { Ready, TimedOut, Failed };
    // Waits up to millisecs for events; a hang-up or error on the line fails.
    Wait waitFor(short events, int millisecs) const;

    PosixFd _fd;
    bool _isUsb;
    int _timeoutMs;
};
