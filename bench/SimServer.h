// tarvo-sim serving on a pseudo-terminal for the length of one measurement,
// with the terminal's round trip probed from outside and the simulator's
// counters read when it ends.
#pragma once

#include <map>
#include <string>
#include <vector>

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
    int _pid = -1;
    int _outFd = -1;
    std::string _tty;
    std::string _statsPath;
};
