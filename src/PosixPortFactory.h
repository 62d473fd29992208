// Lists the machine's serial terminals: on Linux the ttys in sysfs that have
// a device behind them, on macOS the /dev/cu.* call-out devices.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PortFactory.h"

class PosixPortFactory : public PortFactoryBase {
public:
    PosixPortFactory();
    // Tests point the walk at a fake tree: ttyRoot stands for /sys/class/tty
    // (unused on macOS) and devDir for /dev.
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

    std::string _ttyRoot;
    std::string _devDir;
    std::vector<std::string> _ports;  // the active walk; empty when idle
    size_t _next = 0;
};
