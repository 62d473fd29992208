// An in-process serial port wired to a simulated adapter: no threads, no
// real sleeping. Reads that wait advance the virtual clock (SimClock), and
// pause_ms does too while any SimPort exists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SerialPort.h"
#include "SimAdapter.h"
#include "SimClock.h"

// What the host did on a port. Every port made for one name by a
// SimPortFactory shares one log.
struct SimPortLog {
    std::vector<int> opens;        // line speed of every successful open
    unsigned closes = 0;
    std::vector<int> timeouts;     // every read window set, in ms
    std::vector<uint8_t> sent;     // every byte written or put
    std::vector<size_t> flushes;   // size of `sent` at each flush
};

struct SimPortOptions {
    bool usb = true;
    bool opens = true;         // false: open fails, as for a port in use
    bool throwsOnOpen = false; // open throws std::runtime_error, as a broken driver might
    int maxWrite = -1;         // a write accepts at most this many bytes (-1: all)
    bool flushStalls = false;  // flush fails, as on a line the device stopped draining
};

class SimPort : public SerialPort {
public:
    // With no adapter the line is silent: writes vanish, reads time out.
    SimPort(const std::string& name, std::shared_ptr<SimAdapter> adapter,
            const SimPortOptions& options = SimPortOptions(),
            std::shared_ptr<SimPortLog> log = nullptr);
    ~SimPort() override;

    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _options.usb; }
    int read(uint8_t* data, int size) override;
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    bool timeout(int millisecs) override;
    // Stands for the real port's 1 ms pause.
    bool flush() override;

    const std::shared_ptr<SimPortLog>& log() const { return _log; }
    // May be changed while the port is in use (say, to cut writes short).
    SimPortOptions& options() { return _options; }

private:
    // One read pass: what arrives before a whole window passes.
    int readPass(uint8_t* data, int size);

    SimClockGuard _clockGuard;
    std::shared_ptr<SimAdapter> _adapter;
    SimPortOptions _options;
    std::shared_ptr<SimPortLog> _log;
    bool _open = false;
    int _timeoutMs = 0;
};
