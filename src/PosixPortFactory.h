// Lists the machine's serial terminals: on Linux the ttys in sysfs that have
// a device behind them, on macOS the /dev/cu.* call-out devices.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PortFactory.h"

class PosixPortFactory : public PortFactoryBase {
public:
    // Where the walk finds the ports: the ttys of sysfs that have a device
    // (Linux), or the call-out entries cu.* of the device folder (macOS).
    enum class Layout { Sysfs, CallOut };

    // The machine's own: /sys/class/tty and /dev on Linux, /dev on macOS.
    PosixPortFactory();
    // Tests point the walk at a fake tree of either layout: ttyRoot stands
    // for /sys/class/tty (unused by CallOut) and devDir for /dev.
    PosixPortFactory(Layout layout, const std::string& ttyRoot, const std::string& devDir);
    PosixPortFactory(const std::string& ttyRoot, const std::string& devDir);

    std::string begin() override;
    std::string end() override;
    std::string next() override;
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;
    bool accessDenied(const std::string& name) override;

    // Orders names as people count: digit runs by value, so ttyACM2 < ttyACM10.
    static bool naturalLess(const std::string& a, const std::string& b);

private:
    std::vector<std::string> listPorts() const;
    bool probeUsb(const std::string& name) const;

    Layout _layout;
    std::string _ttyRoot;
    std::string _devDir;
    std::vector<std::string> _ports;  // the active walk; empty when idle
    size_t _next = 0;
};
