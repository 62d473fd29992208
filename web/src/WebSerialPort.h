// A serial line reached through the page's Web Serial port. The browser side
// (link.js) keeps the received bytes; a read takes what has arrived and
// otherwise suspends the program until more comes or its window passes.
#pragma once

#include "SerialPort.h"

class WebSerialPort : public SerialPort {
public:
    WebSerialPort(const std::string& name, bool isUsb);
    ~WebSerialPort() override;

    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _isUsb; }
    int read(uint8_t* data, int size) override;
    // Hands the bytes to the port's stream at once; a write the browser
    // refuses fails the next flush, read or write.
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    bool timeout(int millisecs) override;
    // Waits until the browser has taken every byte written.
    bool flush() override;

private:
    bool _isUsb;
    bool _open = false;
    int _timeoutMs = 2147483647;
};
