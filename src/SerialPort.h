// The byte channel to the adapter. Every failure is a return value (false
// or -1); implementations never throw or print.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SerialPort {
public:
    // Owning pointer: moving it hands the port on and leaves the source empty.
    using Ptr = std::unique_ptr<SerialPort>;

    enum Parity { ParityNone = 0, ParityOdd = 1, ParityEven = 2 };
    enum StopBit { StopBitOne = 0, StopBitOneFive = 1, StopBitTwo = 2 };

    explicit SerialPort(const std::string& name) : _name(name) {}
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    virtual ~SerialPort() = default;

    virtual bool open(int baud, int data, Parity parity, StopBit stop) = 0;
    virtual void close() = 0;
    virtual bool isUsb() = 0;
    // Up to size bytes; ends early only when a whole time-out window passes
    // without a byte. Count received, or -1.
    virtual int read(uint8_t* data, int size) = 0;
    virtual int write(const uint8_t* data, int size) = 0;
    // One byte as 0..255, or -1 on time-out or failure.
    virtual int get() = 0;
    virtual int put(int c) = 0;
    virtual bool timeout(int millisecs) = 0;
    // Waits until what was written has left; false when it stalls or fails.
    virtual bool flush() = 0;
    virtual std::string name() const { return _name; }

protected:
    std::string _name;
};
