#include "PosixPortFactory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "PosixSerialPort.h"

namespace fs = std::filesystem;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t digitRunEnd(const std::string& s, size_t from)
{
    while (from < s.size() && isDigit(s[from]))
        from++;
    return from;
}

bool present(const fs::path& p)
{
    std::error_code ec;
    return fs::exists(p, ec);
}

// Legacy 8250 UART slots are registered whether or not a chip is fitted;
// an empty slot reports type 0.
bool isPhantomUart(const fs::path& ttyDir)
{
    std::ifstream in(ttyDir / "type");
    int type = -1;
    return in >> type && type == 0;
}

// A USB CDC device on macOS appears as cu.usbmodem* (and its tty.* twin);
// cu.usbserial* is a USB-to-UART bridge, whose line speed is the UART's.
bool isUsbModemName(const std::string& base)
{
    return base.compare(0, 11, "cu.usbmodem") == 0 || base.compare(0, 12, "tty.usbmodem") == 0;
}

#if defined(__APPLE__)
constexpr PosixPortFactory::Layout NATIVE_LAYOUT = PosixPortFactory::Layout::CallOut;
#else
constexpr PosixPortFactory::Layout NATIVE_LAYOUT = PosixPortFactory::Layout::Sysfs;
#endif

}  // namespace

PosixPortFactory::PosixPortFactory() : PosixPortFactory("/sys/class/tty", "/dev") {}

PosixPortFactory::PosixPortFactory(const std::string& ttyRoot, const std::string& devDir)
    : PosixPortFactory(NATIVE_LAYOUT, ttyRoot, devDir)
{
}

PosixPortFactory::PosixPortFactory(Layout layout, const std::string& ttyRoot, const std::string& devDir)
    : _layout(layout), _ttyRoot(ttyRoot), _devDir(devDir)
{
}

std::string PosixPortFactory::begin()
{
    _ports = listPorts();
    _next = 0;
    return next();
}

std::string PosixPortFactory::end() { return std::string(); }

std::string PosixPortFactory::next()
{
    if (_next >= _ports.size()) {
        _ports.clear();
        _next = 0;
        return end();
    }
    return _ports[_next++];
}

SerialPort::Ptr PosixPortFactory::create(const std::string& name)
{
    return create(name, probeUsb(name));
}

SerialPort::Ptr PosixPortFactory::create(const std::string& name, bool isUsb)
{
    return SerialPort::Ptr(new PosixSerialPort(name, isUsb));
}

bool PosixPortFactory::accessDenied(const std::string& name)
{
    // Asks without opening: a port that failed for another reason is left
    // alone, and its modem lines untouched.
    return ::faccessat(AT_FDCWD, name.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
           (errno == EACCES || errno == EPERM);
}

bool PosixPortFactory::naturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ei = digitRunEnd(a, i), ej = digitRunEnd(b, j);
            while (i + 1 < ei && a[i] == '0')
                i++;
            while (j + 1 < ej && b[j] == '0')
                j++;
            if (ei - i != ej - j)
                return ei - i < ej - j;
            int cmp = a.compare(i, ei - i, b, j, ej - j);
            if (cmp != 0)
                return cmp < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        i++;
        j++;
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    // Equal by value (tty01 and tty1): plain order keeps the sort strict.
    return a < b;
}

std::vector<std::string> PosixPortFactory::listPorts() const
{
    std::vector<std::string> names;
    std::error_code ec;
    if (_layout == Layout::CallOut) {
        // Each port is there twice; the tty.* twin waits for carrier on open
        // and is not what Mac users pick.
        for (fs::directory_iterator it(_devDir, ec), last; !ec && it != last; it.increment(ec)) {
            std::string entry = it->path().filename().string();
            if (entry.compare(0, 3, "cu.") == 0 && entry.size() > 3)
                names.push_back(entry);
        }
    } else {
        // Virtual consoles, ptmx and the like have no device link.
        for (fs::directory_iterator it(_ttyRoot, ec), last; !ec && it != last; it.increment(ec)) {
            const fs::path& dir = it->path();
            if (present(dir / "device") && !isPhantomUart(dir))
                names.push_back(dir.filename().string());
        }
    }
    std::sort(names.begin(), names.end(), naturalLess);
    for (std::string& n : names)
        n = (fs::path(_devDir) / n).string();
    return names;
}

bool PosixPortFactory::probeUsb(const std::string& name) const
{
    // By-id and by-path links name the same terminal under another name.
    std::error_code ec;
    fs::path real = fs::canonical(name, ec);
    std::string base = (ec ? fs::path(name) : real).filename().string();
    if (base.empty() || base == "." || base == "..")
        return false;
    if (_layout == Layout::CallOut)
        return isUsbModemName(base);
    fs::path dev = fs::canonical(fs::path(_ttyRoot) / base / "device", ec);
    if (ec)
        return false;
    // A USB device directory carries idVendor; interfaces and tty nodes
    // below it do not.
    for (; dev.has_relative_path(); dev = dev.parent_path()) {
        if (present(dev / "idVendor"))
            return true;
    }
    return false;
}
