// Lists the machine's serial ports and makes port objects. Failures show
// only as the end marker (the empty string).
#pragma once

#include <string>

#include "SerialPort.h"

class PortFactoryBase {
public:
    PortFactoryBase() = default;
    PortFactoryBase(const PortFactoryBase&) = delete;
    PortFactoryBase& operator=(const PortFactoryBase&) = delete;
    virtual ~PortFactoryBase() = default;

    // Starts a new walk and returns the first port name, or end().
    virtual std::string begin() = 0;
    virtual std::string end() = 0;
    virtual std::string next() = 0;
    // A closed port whose USB flag the factory decides itself.
    virtual SerialPort::Ptr create(const std::string& name) = 0;
    // A closed port with the given USB flag; nothing is probed.
    virtual SerialPort::Ptr create(const std::string& name, bool isUsb) = 0;
    // Whether this user lacks the permission to open the named port; asked
    // after an open failed, so the user learns why.
    virtual bool accessDenied(const std::string& name)
    {
        (void)name;
        return false;
    }
};

// The platform's factory, under the name the driver uses.
#if defined(_WIN32)
class WinPortFactory;
using PortFactory = WinPortFactory;
#else
class PosixPortFactory;
using PortFactory = PosixPortFactory;
#endif
