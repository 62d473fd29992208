// A port factory over simulated ports, for runs of the driver and the scan
// in-process: each listed name has an adapter behind it, a silent line, or
// a port that fails or throws on open.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PortFactory.h"
#include "SimPort.h"

class SimPortFactory : public PortFactoryBase {
public:
    // Adds a name to the walk, in call order.
    void addAdapter(const std::string& name, std::shared_ptr<SimAdapter> adapter, bool usb = true);
    void addSilent(const std::string& name, bool usb = true);
    void addPort(const std::string& name, std::shared_ptr<SimAdapter> adapter,
                 const SimPortOptions& options);

    std::string begin() override;
    std::string end() override { return std::string(); }
    std::string next() override;
    // The entry's own USB flag. A name that was never added gives a port
    // that does not open, as for a device that is not there.
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;

    // Shared by every port made for the name (empty log for unknown names).
    std::shared_ptr<SimPortLog> log(const std::string& name);
    // Every name given to create, in order.
    const std::vector<std::string>& created() const { return _created; }

private:
    struct Entry {
        std::shared_ptr<SimAdapter> adapter;
        SimPortOptions options;
    };

    std::vector<std::string> _names;
    std::map<std::string, Entry> _entries;
    std::map<std::string, std::shared_ptr<SimPortLog>> _logs;
    std::vector<std::string> _created;
    size_t _walk = 0;
};
