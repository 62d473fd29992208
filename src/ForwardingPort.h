// Pass-through bases for wrappers that change one or two calls of a port or
// a factory: every call goes to the wrapped one unless overridden.
#pragma once

#include <string>
#include <utility>

#include "PortFactory.h"
#include "SerialPort.h"

// Owns the port it wraps.
class ForwardingPort : public SerialPort {
public:
    explicit ForwardingPort(SerialPort::Ptr inner)
        : SerialPort(inner->name()), _inner(std::move(inner))
    {
    }
    bool open(int baud, int data, Parity parity, StopBit stop) override
    {
        return _inner->open(baud, data, parity, stop);
    }
    void close() override { _inner->close(); }
    bool isUsb() override { return _inner->isUsb(); }
    int read(uint8_t* data, int size) override { return _inner->read(data, size); }
    int write(const uint8_t* data, int size) override { return _inner->write(data, size); }
    int get() override { return _inner->get(); }
    int put(int c) override { return _inner->put(c); }
    bool timeout(int millisecs) override { return _inner->timeout(millisecs); }
    bool flush() override { return _inner->flush(); }

protected:
    SerialPort::Ptr _inner;
};

// Refers to a factory that outlives it.
class ForwardingPortFactory : public PortFactoryBase {
public:
    explicit ForwardingPortFactory(PortFactoryBase& inner) : _inner(inner) {}
    std::string begin() override { return _inner.begin(); }
    std::string end() override { return _inner.end(); }
    std::string next() override { return _inner.next(); }
    SerialPort::Ptr create(const std::string& name) override { return _inner.create(name); }
    SerialPort::Ptr create(const std::string& name, bool isUsb) override
    {
        return _inner.create(name, isUsb);
    }
    bool accessDenied(const std::string& name) override { return _inner.accessDenied(name); }

protected:
    PortFactoryBase& _inner;
};
