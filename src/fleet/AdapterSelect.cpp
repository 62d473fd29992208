#include "fleet/AdapterSelect.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "AdapterIdentity.h"
#include "Device.h"
#include "ForwardingPort.h"
#include "PortFactory.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace fs = std::filesystem;

namespace {

// What a connect attempt saw; shared, as the port outlives the probe.
struct LineSeen {
    bool opened = false;
    bool heard = false;
};

// Passes everything through to the port it wraps, noting whether it opened
// and whether any byte came back, so a failed connect can say why.
class WatchedPort : public ForwardingPort {
public:
    WatchedPort(SerialPort::Ptr inner, std::shared_ptr<LineSeen> seen)
        : ForwardingPort(std::move(inner)), _seen(std::move(seen))
    {
    }
    bool open(int baud, int data, Parity parity, StopBit stop) override
    {
        bool ok = _inner->open(baud, data, parity, stop);
        _seen->opened = _seen->opened || ok;
        return ok;
    }
    int read(uint8_t* data, int size) override
    {
        int n = _inner->read(data, size);
        _seen->heard = _seen->heard || n > 0;
        return n;
    }
    int get() override
    {
        int c = _inner->get();
        _seen->heard = _seen->heard || c >= 0;
        return c;
    }

private:
    std::shared_ptr<LineSeen> _seen;
};

bool hasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digit runs compare by value, so ttyACM2 comes before ttyACM10.
bool naturalOrder(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei]))
                ei++;
            while (ej < b.size() && isDigit(b[ej]))
                ej++;
            unsigned long long va = std::stoull(a.substr(i, std::min<size_t>(ei - i, 18)));
            unsigned long long vb = std::stoull(b.substr(j, std::min<size_t>(ej - j, 18)));
            if (va != vb)
                return va < vb;
            i = ei;
            j = ej;
        } else if (a[i] != b[j]) {
            return a[i] < b[j];
        } else {
            i++;
            j++;
        }
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    return a < b;
}

}  // namespace

const char* probeResultText(ProbeResult result)
{
    switch (result) {
    case ProbeResult::Adapter: return "adapter";
    case ProbeResult::NoSuchPort: return "no such port";
    case ProbeResult::PermissionDenied: return "permission denied";
    case ProbeResult::Busy: return "busy";
    case ProbeResult::NotAdapter: return "not an adapter";
    case ProbeResult::NoAnswer: return "no answer";
    case ProbeResult::UnsupportedChip: return "unsupported chip";
    }
    return "unknown";
}

ProbeResult probePort(Samba& samba, PortFactoryBase& factory, const std::string& port, bool named,
                      uint32_t& chipId)
{
    auto seen = std::make_shared<LineSeen>();
    SerialPort::Ptr inner = named ? factory.create(port, true) : factory.create(port);
    if (!inner)
        return ProbeResult::NoSuchPort;
    SerialPort::Ptr watched(new WatchedPort(std::move(inner), seen));
    if (samba.connect(std::move(watched), 115200)) {
        chipId = samba.chipId();
        return device::isSupportedChip(chipId) ? ProbeResult::Adapter : ProbeResult::UnsupportedChip;
    }
    if (seen->opened)
        return seen->heard ? ProbeResult::NotAdapter : ProbeResult::NoAnswer;
    if (factory.accessDenied(port))
        return ProbeResult::PermissionDenied;
    // A path that names nothing; COM names have no path to look at.
    std::error_code ec;
    if (port.find('/') != std::string::npos && !fs::exists(port, ec))
        return ProbeResult::NoSuchPort;
    return ProbeResult::Busy;
}

AdapterInfo readAdapterInfo(Samba& samba, uint32_t chipId, const std::string& port)
{
    AdapterInfo info;
    info.port = port;
    info.chipId = chipId;
    info.flashSize = device::flashSize(chipId);
    info.bootloader = samba.version();
    static_cast<AdapterIdentity&>(info) = readIdentity(samba);
    const uint32_t base = device::settingsBase(chipId);
    info.fwVersion = samba.readWord(base - 16);
    info.fwExtra = samba.readWord(base - 12);
    return info;
}

std::string firmwareVersionText(uint32_t fwVersion)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%04X ROM 0x%02X", fwVersion & 0xFFFF, (fwVersion >> 16) & 0xFF);
    return text;
}

std::vector<AdapterInfo> findAdapters(PortFactoryBase& factory)
{
    std::vector<AdapterInfo> found;
    for (std::string port = factory.begin(); port != factory.end(); port = factory.next()) {
        Samba samba;
        uint32_t chipId = 0;
        if (probePort(samba, factory, port, false, chipId) == ProbeResult::Adapter)
            found.push_back(readAdapterInfo(samba, chipId, port));
    }
    return found;
}

bool connectBySerial(Samba& samba, PortFactoryBase& factory, const std::string& serial,
                     std::string& port, uint32_t& chipId)
{
    for (port = factory.begin(); port != factory.end(); port = factory.next()) {
        if (probePort(samba, factory, port, false, chipId) == ProbeResult::Adapter &&
            readAdapterInfo(samba, chipId, port).serial == serial)
            return true;
        samba.disconnect();
    }
    return false;
}

bool wildcardMatch(const std::string& pattern, const std::string& name)
{
    // Greedy with one backtrack point: the last * seen.
    size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            p++;
            n++;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        if (comma > start)
            items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

std::vector<std::string> expandPortPatterns(const std::string& patterns)
{
    std::vector<std::string> ports;
    for (const std::string& pattern : splitList(patterns)) {
        if (!hasWildcard(pattern)) {
            ports.push_back(pattern);
            continue;
        }
        const fs::path path(pattern);
        const std::string leaf = path.filename().string();
        const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
        std::vector<std::string> matches;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), last; !ec && it != last; it.increment(ec)) {
            const std::string entry = it->path().filename().string();
            if (wildcardMatch(leaf, entry))
                matches.push_back(path.has_parent_path() ? (dir / entry).string() : entry);
        }
        std::sort(matches.begin(), matches.end(), naturalOrder);
        ports.insert(ports.end(), matches.begin(), matches.end());
    }
    // A port named twice is still one port.
    std::vector<std::string> unique;
    for (const std::string& p : ports)
        if (std::find(unique.begin(), unique.end(), p) == unique.end())
            unique.push_back(p);
    return unique;
}

std::string PatternPortFactory::begin()
{
    _ports = expandPortPatterns(_patterns);
    _next = 0;
    return next();
}

std::string PatternPortFactory::next()
{
    return _next < _ports.size() ? _ports[_next++] : end();
}
