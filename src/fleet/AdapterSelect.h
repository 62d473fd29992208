// Telling adapters apart when several are attached: what answers on a port,
// who an adapter is, and taking the one with a given serial number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AdapterIdentity.h"
#include "ForwardingPort.h"
#include "PortFactory.h"

class Samba;

// Who a connected adapter is, as the information report shows it.
struct AdapterInfo : AdapterIdentity {
    std::string port;
    uint32_t chipId = 0;
    uint32_t flashSize = 0;
    uint32_t fwVersion = 0;   // the two firmware version words
    uint32_t fwExtra = 0;
    std::string bootloader;   // the monitor's version text
};

// Why a port gave no adapter.
enum class ProbeResult {
    Adapter,            // a supported adapter is connected
    NoSuchPort,
    PermissionDenied,
    Busy,               // it exists but would not open (another program holds it)
    NotAdapter,         // something answered, but not a boot monitor
    NoAnswer,           // nothing came back
    UnsupportedChip,    // a boot monitor, but not one of the two chips
};

// The reason in a word or two, for lists.
const char* probeResultText(ProbeResult result);

// Connects on the port, printing nothing: as -p does when the user named it
// (taken as USB, so tried at 921600 bit/s first), else as the scan does (the
// factory decides). On Adapter the client holds the port and chipId is set;
// on UnsupportedChip it is connected too.
ProbeResult probePort(Samba& samba, PortFactoryBase& factory, const std::string& port, bool named,
                      uint32_t& chipId);

// Reads the identity and version words of the connected adapter.
AdapterInfo readAdapterInfo(Samba& samba, uint32_t chipId, const std::string& port);

// Firmware version words as the report shows them: "0x0105 ROM 0x03".
std::string firmwareVersionText(uint32_t fwVersion);

// Every adapter the factory's walk finds, each connected once and let go.
std::vector<AdapterInfo> findAdapters(PortFactoryBase& factory);

// Walks the factory's ports and keeps the connection to the adapter whose
// serial number is serial, letting every other one go. False when none has it.
bool connectBySerial(Samba& samba, PortFactoryBase& factory, const std::string& serial,
                     std::string& port, uint32_t& chipId);

// The non-empty items of a comma-separated list.
std::vector<std::string> splitList(const std::string& text);

// The ports that patterns name: a pattern with * or ? in its last part
// stands for the matching entries of its folder (sorted as people count),
// any other for itself. Patterns are separated by commas.
std::vector<std::string> expandPortPatterns(const std::string& patterns);

// Whether name matches pattern, where * is any run and ? any one character.
bool wildcardMatch(const std::string& pattern, const std::string& name);

// A walk over the ports that patterns name (looked up afresh on every
// begin), in place of the machine's list; the ports themselves come from
// the platform's factory.
class PatternPortFactory : public ForwardingPortFactory {
public:
    PatternPortFactory(PortFactoryBase& platform, const std::string& patterns)
        : ForwardingPortFactory(platform), _patterns(patterns)
    {
    }
    std::string begin() override;
    std::string end() override { return ""; }
    std::string next() override;

private:
    std::string _patterns;
    std::vector<std::string> _ports;
    size_t _next = 0;
};
