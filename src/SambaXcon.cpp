#include "SambaXcon.h"

#include <cstdio>

#include "Device.h"
#include "Pause.h"

uint32_t chip_id = 0;

namespace {

constexpr int VERSION_MAX = 255;
constexpr int DRAIN_MAX = 1024;

bool isPrintable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

Samba::Samba()
    : _extChipEraseAvailable(false), _extWriteBufferAvailable(false),
      _extChecksumBufferAvailable(false), _debug(false), _isUsb(false)
{
}

Samba::~Samba() {}

SerialPort& Samba::port()
{
    if (!_port)
        throw SambaError();
    return *_port;
}

void Samba::sendCommand(const char* text, int len)
{
    if (port().write(reinterpret_cast<const uint8_t*>(text), len) != len)
        throw SambaError();
}

int Samba::readReply(uint8_t* buffer, int size, int windowMs)
{
    SerialPort& p = port();
    p.timeout(windowMs);
    int got = p.read(buffer, size);
    p.timeout(WINDOW_MS);
    // A port that claims more than it was asked for is not believed.
    if (got < 0)
        return 0;
    return got > size ? size : got;
}

void Samba::writeByte(uint32_t addr, uint8_t value)
{
    if (_debug)
        printf("%s(addr=%#x,value=%#x)\n", "writeByte", static_cast<unsigned>(addr),
               static_cast<unsigned>(value));
    char cmd[16];
    int len = snprintf(cmd, sizeof(cmd), "O%08X,%02X#", static_cast<unsigned>(addr),
                       static_cast<unsigned>(value));
    sendCommand(cmd, len);
    if (_isUsb && !port().flush())
        throw SambaError();
}

uint8_t Samba::readByte(uint32_t addr)
{
    char cmd[16];
    int len = snprintf(cmd, sizeof(cmd), "o%08X,4#", static_cast<unsigned>(addr));
    sendCommand(cmd, len);
    uint8_t value;
    if (port().read(&value, 1) != 1)
        throw SambaError();
    if (_debug)
        printf("%s(addr=%#x)=%#x\n", "readByte", static_cast<unsigned>(addr),
               static_cast<unsigned>(value));
    return value;
}

void Samba::writeWord(uint32_t addr, uint32_t value)
{
    if (_debug)
        printf("%s(addr=%#x,value=%#x)\n", "writeWord", static_cast<unsigned>(addr),
               static_cast<unsigned>(value));
    char cmd[24];
    int len = snprintf(cmd, sizeof(cmd), "W%08X,%08X#", static_cast<unsigned>(addr),
                       static_cast<unsigned>(value));
    sendCommand(cmd, len);
    if (_isUsb && !port().flush())
        throw SambaError();
}

uint32_t Samba::readWord(uint32_t addr)
{
    char cmd[16];
    int len = snprintf(cmd, sizeof(cmd), "w%08X,4#", static_cast<unsigned>(addr));
    sendCommand(cmd, len);
    uint8_t reply[4];
    if (port().read(reply, 4) != 4)
        throw SambaError();
    uint32_t value = static_cast<uint32_t>(reply[0]) | static_cast<uint32_t>(reply[1]) << 8 |
                     static_cast<uint32_t>(reply[2]) << 16 |
                     static_cast<uint32_t>(reply[3]) << 24;
    if (_debug)
        printf("%s(addr=%#x)=%#x\n", "readWord", static_cast<unsigned>(addr),
               static_cast<unsigned>(value));
    return value;
}

void Samba::go(uint32_t addr)
{
    char cmd[16];
    int len = snprintf(cmd, sizeof(cmd), "k%X,#", static_cast<unsigned>(addr));
    sendCommand(cmd, len);
    if (_isUsb && !port().flush())
        throw SambaError();
}

int Samba::readLimited(uint8_t* buffer, int size, bool& quiet)
{
    SerialPort& p = port();
    const uint64_t start = clock_ms();
    quiet = false;
    int got = 0;
    // One byte at a time: a read of more would only end once they all came.
    while (got < size && clock_ms() - start < READ_LIMIT_MS) {
        if (p.read(buffer + got, 1) <= 0) {
            quiet = true;
            break;
        }
        got++;
    }
    return got;
}

void Samba::drain()
{
    uint8_t junk[DRAIN_MAX];
    bool quiet;
    readLimited(junk, DRAIN_MAX, quiet);
}

std::string Samba::version()
{
    SerialPort& p = port();
    p.write(reinterpret_cast<const uint8_t*>("V#"), 2);
    uint8_t text[VERSION_MAX];
    p.timeout(SHORT_WINDOW_MS);
    bool quiet;
    int got = readLimited(text, VERSION_MAX, quiet);
    // The rest of an overlong reply would be taken as the start of the next one.
    if (!quiet)
        drain();
    p.timeout(WINDOW_MS);
    if (got <= 0)
        throw SambaError();

    int len = 0;
    while (len < got && isPrintable(text[len]))
        len++;
    std::string result(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
    if (_debug)
        printf("%s()=%s\n", "version", result.c_str());
    return result;
}

bool Samba::connect(SerialPort::Ptr port, int bps)
{
    if (!port)
        return false;
    _port = std::move(port);

    _isUsb = _port->isUsb();
    if (_isUsb) {
        if (_port->open(921600, 8, SerialPort::ParityNone, SerialPort::StopBitOne) && init()) {
            if (_debug)
                printf("Connected at 921600 baud\n");
            return true;
        }
        _port->close();
    }

    _isUsb = false;
    if (_port->open(bps, 8, SerialPort::ParityNone, SerialPort::StopBitOne) && init()) {
        if (_debug)
            printf("Connected at %d baud\n", bps);
        return true;
    }
    disconnect();
    return false;
}

bool Samba::init()
{
    SerialPort& p = port();
    p.timeout(SHORT_WINDOW_MS);
    pause_ms(500);
    drain();

    if (!_isUsb) {
        if (_debug)
            printf("Send auto-baud\n");
        p.put(0x80);
        p.get();
        p.put(0x80);
        p.get();
        p.put('#');
        uint8_t prompt[3];
        p.read(prompt, 3);
    }

    uint32_t id;
    try {
        id = chipId();
    } catch (const SambaError&) {
        return false;
    }

    if (version().find("VMD") == std::string::npos)
        return false;

    _extChipEraseAvailable = true;
    _extWriteBufferAvailable = true;
    _extChecksumBufferAvailable = true;
    p.timeout(WINDOW_MS);

    if (_debug)
        printf("chipId=%#08x\n", static_cast<unsigned>(id));
    if (device::isSupportedChip(id)) {
        chip_id = id;
        return true;
    }
    if (_debug)
        printf("Unsupported processor\n");
    return false;
}

uint32_t Samba::chipId()
{
    uint32_t vector0 = readWord(0);
    if ((vector0 >> 24) == device::ARM7_VECTOR_TOP)
        return readWord(device::ARM7_CHIPID_ADDR);

    uint32_t cpuid = readWord(device::CPUID_ADDR);
    if ((cpuid & device::CPUID_PARTNO_MASK) == device::CPUID_PARTNO_M0PLUS)
        return readWord(device::DSU_DID_ADDR) & device::DSU_DID_MASK;

    uint32_t id = readWord(device::CORTEXM_CHIPID_ADDR);
    if (id != 0)
        return id;
    return readWord(device::CORTEXM_CHIPID_ALT_ADDR);
}

void Samba::reset()
{
    printf("CPU reset.\n");
    if (!device::isSupportedChip(chipId())) {
        printf("Reset not supported for this CPU.\n");
        return;
    }
    writeWord(device::AIRCR_ADDR, device::AIRCR_RESET);
    pause_ms(100);
}

void Samba::disconnect()
{
    if (_port)
        _port->close();
    _port.reset();
}
