// tarvo-sim serving on a pseudo-terminal for the length of one measurement,
// with the terminal's round trip probed from outside and the simulator's
// counters read when it ends.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

class SimServer {
public:
    SimServer() = default;
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Starts tarvo-sim with the options; false when no terminal came up.
    bool start(const std::vector<std::string>& options, const std::string& statsPath);
    const std::string& tty() const { return _tty; }
    // Mean seconds for one word read on the terminal, as the monitor answers
    // it, over `count` reads; -1 on failure. Each read is one exchange the
    // simulator counts.
    double probeRoundTrip(int count);
    // Ends the simulator; its counters by name (empty on failure).
    std::map<std::string, double> stop();

private:
    std::unique_ptr<ChildProcess> _sim;
    std::string _tty;
    std::string _statsPath;
};
