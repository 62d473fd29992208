#include "PosixPortFactory.h"

namespace {
// A port that never opens: there is no POSIX serial layer yet.
class ClosedPort : public SerialPort {
public:
    ClosedPort(const std::string& name, bool isUsb) : SerialPort(name), _isUsb(isUsb) {}
    bool open(int, int, Parity, StopBit) override { return false; }
    void close() override {}
    bool isUsb() override { return _isUsb; }
    int read(uint8_t*, int) override { return -1; }
    int write(const uint8_t*, int) override { return -1; }
    int get() override { return -1; }
    int put(int) override { return -1; }
    bool timeout(int) override { return false; }
    void flush() override {}

private:
    bool _isUsb;
};
}  // namespace

std::string PosixPortFactory::begin() { return end(); }
std::string PosixPortFactory::end() { return std::string(); }
std::string PosixPortFactory::next() { return end(); }
SerialPort::Ptr PosixPortFactory::create(const std::string& name) { return create(name, false); }
SerialPort::Ptr PosixPortFactory::create(const std::string& name, bool isUsb)
{
    return SerialPort::Ptr(new ClosedPort(name, isUsb));
}
