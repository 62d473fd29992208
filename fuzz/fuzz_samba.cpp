// The monitor client against arbitrary device bytes. The port answers every
// read with the next bytes of the input, in arbitrary shares, and may fail
// or accept writes only in part; the operations and their arguments come
// from the input too. Every call must end in a value or a SambaError: any
// other exception escapes and counts as a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "Device.h"
#include "Pause.h"
#include "SambaXcon.h"

namespace {

constexpr int MAX_OPS = 48;
constexpr int MAX_BLOCK = 700;  // several XMODEM blocks, an odd tail

class FuzzPort : public SerialPort {
public:
    FuzzPort(FuzzedDataProvider& input, bool usb, bool opens, bool shortWrites)
        : SerialPort("FUZZ"), _input(input), _usb(usb), _opens(opens), _shortWrites(shortWrites)
    {
    }

    bool open(int, int, Parity, StopBit) override { return _opens; }
    void close() override {}
    bool isUsb() override { return _usb; }
    int read(uint8_t* data, int size) override
    {
        if (size <= 0)
            return 0;
        // A share of what was asked for models a reply cut off by the time-out.
        int n = _input.ConsumeIntegralInRange<int>(-1, size);
        if (n < 0)
            return -1;
        std::vector<uint8_t> bytes = _input.ConsumeBytes<uint8_t>(static_cast<size_t>(n));
        std::copy(bytes.begin(), bytes.end(), data);
        return static_cast<int>(bytes.size());
    }
    int write(const uint8_t*, int size) override
    {
        if (!_shortWrites || size <= 0)
            return size;
        return _input.ConsumeIntegralInRange<int>(-1, size);
    }
    int get() override
    {
        uint8_t b;
        return read(&b, 1) == 1 ? b : -1;
    }
    int put(int c) override
    {
        uint8_t b = static_cast<uint8_t>(c);
        return write(&b, 1) == 1 ? b : -1;
    }
    bool timeout(int millisecs) override { return millisecs >= 0; }
    bool flush() override { return true; }

private:
    FuzzedDataProvider& _input;
    bool _usb;
    bool _opens;
    bool _shortWrites;
};

void noPause(unsigned) {}

bool isPrintable(char c) { return c >= 0x20 && c <= 0x7E; }

bool connect(Samba& samba, FuzzedDataProvider& input)
{
    bool usb = input.ConsumeBool();
    bool opens = input.ConsumeProbability<float>() < 0.95f;
    bool shortWrites = input.ConsumeProbability<float>() > 0.9f;
    bool ok = samba.connect(SerialPort::Ptr(new FuzzPort(input, usb, opens, shortWrites)));
    if (ok && !device::isSupportedChip(chip_id))
        __builtin_trap();
    if (ok != samba.isConnected())
        __builtin_trap();
    return ok;
}

void runOne(Samba& samba, FuzzedDataProvider& input)
{
    uint32_t addr = input.ConsumeIntegral<uint32_t>();
    switch (input.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
        samba.readWord(addr);
        break;
    case 1:
        samba.readByte(addr);
        break;
    case 2:
        samba.writeWord(addr, input.ConsumeIntegral<uint32_t>());
        break;
    case 3:
        samba.writeByte(addr, input.ConsumeIntegral<uint8_t>());
        break;
    case 4:
        samba.go(addr);
        break;
    case 5: {
        std::string text = samba.version();
        if (text.size() > 255)
            __builtin_trap();
        for (char c : text) {
            if (!isPrintable(c))
                __builtin_trap();
        }
        break;
    }
    case 6: {
        // Exactly sized heap buffers, so that any overrun is caught.
        std::vector<uint8_t> data(input.ConsumeIntegralInRange<size_t>(0, MAX_BLOCK));
        samba.write(addr, data.data(), static_cast<int>(data.size()));
        break;
    }
    case 7: {
        std::vector<uint8_t> data(input.ConsumeIntegralInRange<size_t>(0, MAX_BLOCK));
        samba.read(addr, data.data(), static_cast<int>(data.size()));
        break;
    }
    case 8:
        samba.chipErase(addr, input.ConsumeIntegral<uint8_t>());
        break;
    case 9:
        samba.writeBuffer(device::RAM_BASE, addr, device::BLOCK_SIZE);
        break;
    case 10:
        samba.checksumBuffer(addr, input.ConsumeIntegral<uint32_t>());
        break;
    case 11: {
        std::vector<uint8_t> area(device::SETTINGS_SIZE);
        samba.eepromDump(device::SETTINGS_SIZE, area.data());
        break;
    }
    case 12:
        samba.initD();
        break;
    case 13:
        samba.reset();
        break;
    case 14:
        samba.chipId();
        break;
    case 15:
        connect(samba, input);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reset and the trace print; the pauses would only slow the search.
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    set_pause_hook(noPause);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Samba samba;
    samba.setDebug(input.ConsumeBool());
    try {
        connect(samba, input);
    } catch (const SambaError&) {
    }
    for (int op = 0; op < MAX_OPS && input.remaining_bytes() > 0; op++) {
        try {
            runOne(samba, input);
        } catch (const SambaError&) {
        }
    }
    return 0;
}
