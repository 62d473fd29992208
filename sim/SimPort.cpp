#include "SimPort.h"

#include <stdexcept>

namespace {
// What a freshly opened port waits, in effect for ever.
constexpr int OPEN_TIMEOUT_MS = 2147483647;
}

SimPort::SimPort(const std::string& name, std::shared_ptr<SimAdapter> adapter,
                 const SimPortOptions& options, std::shared_ptr<SimPortLog> log)
    : SerialPort(name), _adapter(std::move(adapter)), _options(options),
      _log(log ? std::move(log) : std::make_shared<SimPortLog>())
{
}

SimPort::~SimPort() { close(); }

bool SimPort::open(int baud, int, Parity parity, StopBit stop)
{
    if (_options.throwsOnOpen)
        throw std::runtime_error("serial driver failure on " + _name);
    if (_open || !_options.opens)
        return false;
    if (parity < ParityNone || parity > ParityEven || stop < StopBitOne || stop > StopBitTwo)
        return false;
    _open = true;
    _timeoutMs = OPEN_TIMEOUT_MS;
    _log->opens.push_back(baud);
    if (_adapter)
        _adapter->hostOpened(baud, SimClock::nowUs());
    return true;
}

void SimPort::close()
{
    if (!_open)
        return;
    _open = false;
    _log->closes++;
}

int SimPort::readPass(uint8_t* data, int size)
{
    uint64_t deadline = SimClock::nowUs() + static_cast<uint64_t>(_timeoutMs) * 1000;
    int got = 0;
    while (got < size) {
        if (_adapter)
            got += static_cast<int>(_adapter->take(data + got, static_cast<size_t>(size - got),
                                                   SimClock::nowUs()));
        if (got == size)
            break;
        uint64_t next = _adapter ? _adapter->nextReadyUs() : SimAdapter::NEVER;
        if (next > deadline) {
            SimClock::advanceToUs(deadline);
            break;
        }
        SimClock::advanceToUs(next);
    }
    return got;
}

int SimPort::read(uint8_t* data, int size)
{
    if (!_open)
        return -1;
    int total = 0;
    while (total < size) {
        int got = readPass(data + total, size - total);
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

int SimPort::write(const uint8_t* data, int size)
{
    if (!_open)
        return -1;
    if (size < 0)
        return -1;
    if (_options.maxWrite >= 0 && size > _options.maxWrite)
        size = _options.maxWrite;
    _log->sent.insert(_log->sent.end(), data, data + size);
    if (_adapter)
        _adapter->receive(data, static_cast<size_t>(size), SimClock::nowUs());
    return size;
}

int SimPort::get()
{
    uint8_t b;
    return read(&b, 1) == 1 ? b : -1;
}

int SimPort::put(int c)
{
    uint8_t b = static_cast<uint8_t>(c);
    return write(&b, 1) == 1 ? b : -1;
}

bool SimPort::timeout(int millisecs)
{
    if (!_open)
        return false;
    _timeoutMs = millisecs < 0 ? 0 : millisecs;
    _log->timeouts.push_back(millisecs);
    return true;
}

bool SimPort::flush()
{
    _log->flushes.push_back(_log->sent.size());
    SimClock::advanceUs(1000);
    return _open && !_options.flushStalls;
}
