// The real tarvo against tarvo-sim over a pseudo-terminal: measured runs
// on an adapter that answers at once, and predicted runs under the
// simulator's timing model of a real adapter.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"

// The settling pause of every connection: the one wait the host must make.
constexpr double SETTLE_SECONDS = 0.5;
// Idle windows the protocol itself imposes on a quiet line: the drain after
// the settling pause, and the read window after every version reply.
constexpr double DRAIN_SECONDS = 0.1;
constexpr double VERSION_WINDOW_SECONDS = 0.1;

// Settling, drain and version windows of one connected run with ARGS.
double protocolWindows(const std::vector<std::string>& args);

struct Measured {
    bool ok = false;        // the run ended with status 0
    std::string error;      // why not
    ProcessResult run;
    double roundTrip = 0;   // seconds per word read, probed before and after
    double exchanges = 0;   // the run's own, the probes taken off
    double windows = 0;     // the protocol's settling pause and idle windows
    double bound = 0;       // windows plus exchanges times round trip
};

// PROGRAM -p TERMINAL ARGS against tarvo-sim SIM_OPTIONS.
Measured measure(const std::string& program, const std::vector<std::string>& simOptions,
                 const std::vector<std::string>& args, const std::string& workDir);

// A real adapter's costs, as the timing model takes them.
struct AdapterModel {
    const char* link;        // "usb" or "uart"
    unsigned replyUs;        // from a command to its answer (a USB frame)
    unsigned rowEraseUs;     // worst case per 256-byte row
    unsigned pageWriteUs;    // worst case per 64-byte page
    unsigned byteUs;         // per byte on the line, either way (UART only)
};

extern const AdapterModel USB_ADAPTER;
extern const AdapterModel UART_ADAPTER;

struct Predicted {
    bool ok = false;
    std::string error;
    ProcessResult run;
    // The lower bound and its parts, in seconds: the protocol's own waits
    // and what the link and the flash need, however fast the host is.
    double bound = 0;
    double windows = 0, replies = 0, wire = 0, erase = 0, pages = 0;
    std::map<std::string, double> counters;  // tarvo-sim's, as it left them
};

Predicted predict(const AdapterModel& model, const std::string& program,
                  const std::vector<std::string>& simOptions,
                  const std::vector<std::string>& args, const std::string& workDir);
