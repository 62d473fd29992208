// A monitor client wired to a simulated adapter through an in-process port,
// with the port's log and the adapter's record at hand.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "SambaXcon.h"
#include "ScriptPort.h"
#include "SimAdapter.h"
#include "SimClock.h"

inline SimOptions withLink(SimLink link)
{
    SimOptions options;
    options.link = link;
    return options;
}

inline SimPortOptions usbPort(bool usb)
{
    SimPortOptions options;
    options.usb = usb;
    return options;
}

struct SimRig {
    explicit SimRig(const SimOptions& options = SimOptions(),
                    const SimPortOptions& portOptions = SimPortOptions())
        : adapter(std::make_shared<SimAdapter>(options)), log(std::make_shared<SimPortLog>()),
          portOptions(portOptions)
    {
    }

    // Connects through a fresh port; `port` stays usable while the client
    // holds it.
    bool connect()
    {
        port = new ScriptPort(adapter, portOptions, log);
        return samba.connect(SerialPort::Ptr(port), 115200);
    }

    // Bytes the host sent since the mark, as text.
    std::string sentSince(size_t mark) const
    {
        return std::string(log->sent.begin() + static_cast<long>(mark), log->sent.end());
    }
    size_t mark() const { return log->sent.size(); }

    // The number the adapter's next command gets, as faults count them.
    uint32_t nextCommand() const
    {
        return static_cast<uint32_t>(adapter->record.commands.size()) + 1;
    }
    bool commandSeen(const std::string& command) const
    {
        const auto& commands = adapter->record.commands;
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    SimClockGuard clock;
    std::shared_ptr<SimAdapter> adapter;
    std::shared_ptr<SimPortLog> log;
    SimPortOptions portOptions;
    ScriptPort* port = nullptr;
    Samba samba;
};
