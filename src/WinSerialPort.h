// A Win32 communications device, used synchronously.
#pragma once

#include <string>

#include "SerialPort.h"
#include "files/WinApi.h"

class WinSerialPort : public SerialPort {
public:
    WinSerialPort(const std::string& name, bool isUsb);
    ~WinSerialPort() override;

    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override;
    int read(uint8_t* data, int size) override;
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    bool timeout(int millisecs) override;
    // A 1 ms pause between blocks; the device buffers are left alone.
    bool flush() override;

private:
    bool isOpen() const { return _handle != INVALID_HANDLE_VALUE; }
    bool configure(int baud, int data, Parity parity, StopBit stop);

    HANDLE _handle;
    bool _isUsb;
};
