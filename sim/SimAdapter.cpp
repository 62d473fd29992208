// The simulated adapter's memory, its sessions and the queue of reply bytes.
#include "SimAdapter.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "EEPROM_Init.h"
#include "files/FileReplace.h"

namespace {

// A transfer the host has gone quiet on is abandoned, as a monitor would.
constexpr uint64_t TRANSFER_IDLE_US = 10000000;

void storeWord(std::vector<uint8_t>& mem, uint32_t addr, uint32_t value)
{
    for (uint32_t i = 0; i < 4; i++)
        mem[addr + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

SimAdapter::SimAdapter(const SimOptions& options)
    : _options(options), _flash(device::flashSize(options.chipId), 0xFF), _ram(RAM_SIZE, 0)
{
    // The bootloader page: a Cortex-M vector table (stack top, reset
    // handler), then code-like filler, then the identity and serial words.
    storeWord(_flash, 0, device::RAM_BASE + 0x2000);
    storeWord(_flash, 4, 0x000000D9);
    for (uint32_t addr = 8; addr < device::IDENTITY_ADDR; addr++)
        _flash[addr] = static_cast<uint8_t>((addr * 37 + 11) % 251);
    storeWord(_flash, device::IDENTITY_ADDR,
              options.hardwareVersion | static_cast<uint32_t>(options.typeLetter) << 16);
    for (uint32_t i = 0; i < 8; i++)
        _flash[device::SERIAL_ADDR_LO + i] =
            i < options.serial.size() ? static_cast<uint8_t>(options.serial[i]) : 0;

    uint32_t base = settingsBase();
    storeWord(_flash, base - 16, options.firmwareVersion);
    storeWord(_flash, base - 12, options.firmwareVersionExtra);
    std::copy(g_myData.begin(), g_myData.end(), _flash.begin() + base);

    startSession();
}

void SimAdapter::hostOpened(int baud, uint64_t nowUs)
{
    tick(nowUs);
    _baud = baud > 0 ? baud : 115200;
    if (_mode == Mode::Stopped && faults.silentAfterRestart)
        return;
    startSession();
}

void SimAdapter::receive(const uint8_t* data, size_t n, uint64_t nowUs)
{
    tick(nowUs);
    record.bytesIn += n;
    // The host hands its bytes over at once; on a UART they still arrive
    // one byte time after another.
    _heardUs = std::max(_heardUs, _nowUs);
    for (size_t i = 0; i < n; i++) {
        _heardUs += byteUs();
        record.readBytesIn += _mode == Mode::XmodemSend;
        handleByte(data[i]);
        _lastHeardUs = _nowUs;
    }
}

size_t SimAdapter::pending(uint64_t nowUs)
{
    tick(nowUs);
    size_t n = 0;
    while (n < _out.size() && _out[n].readyUs <= _nowUs)
        n++;
    return n;
}

size_t SimAdapter::take(uint8_t* out, size_t max, uint64_t nowUs)
{
    tick(nowUs);
    size_t n = 0;
    while (n < max && !_out.empty() && _out.front().readyUs <= _nowUs) {
        out[n++] = _out.front().value;
        _out.pop_front();
    }
    return n;
}

uint64_t SimAdapter::nextReadyUs() const
{
    return _out.empty() ? NEVER : _out.front().readyUs;
}

void SimAdapter::tick(uint64_t nowUs)
{
    _nowUs = std::max(_nowUs, nowUs);
    if (_mode == Mode::Stopped && !faults.silentAfterRestart && _nowUs - _stoppedUs >= REBOOT_US)
        startSession();
    bool transfer = _mode == Mode::RawReceive || _mode == Mode::XmodemReceive ||
                    _mode == Mode::XmodemSend;
    if (transfer && _nowUs - _lastHeardUs > TRANSFER_IDLE_US) {
        _mode = Mode::Command;
        _block.clear();
    }
    // A trickling line keeps its next byte queued, so nextReadyUs knows it.
    while (faults.trickleUs != 0 && (_out.empty() || _out.back().readyUs <= _nowUs)) {
        uint64_t t = (_out.empty() ? _nowUs : _out.back().readyUs) + faults.trickleUs;
        _out.push_back({static_cast<uint8_t>('a' + t / faults.trickleUs % 26), t});
    }
}

void SimAdapter::startSession()
{
    _mode = _options.link == SimLink::Uart ? Mode::AwaitSync : Mode::Command;
    _out.clear();
    _command.clear();
    _block.clear();
    _syncTail[0] = _syncTail[1] = 0;
    _commandCount = 0;
    _decoding = false;
    _blocksIn = _blocksOut = 0;
    _faultsGiven = 0;
    _copySource = device::RAM_BASE;
    _busyUntilUs = _lineFreeUs = _lastHeardUs = _heardUs = _nowUs;
}

void SimAdapter::stop()
{
    _mode = Mode::Stopped;
    _stoppedUs = _nowUs;
    _out.clear();
}

bool SimAdapter::gone() const
{
    return faults.trickleUs != 0 || (faults.goneAfter != 0 && _commandCount >= faults.goneAfter);
}

void SimAdapter::work(uint64_t us)
{
    _busyUntilUs = std::max(_busyUntilUs, _heardUs) + us;
}

uint64_t SimAdapter::byteUs() const
{
    if (timing.uartByteTime && _options.link == SimLink::Uart)
        return 10000000 / static_cast<uint64_t>(_baud);
    return 0;
}

void SimAdapter::send(const uint8_t* data, size_t n)
{
    if (n == 0)
        return;
    record.replies++;
    record.bytesOut += n;
    if (_mode == Mode::XmodemSend || _rawRead) {
        record.readReplies++;
        record.readBytesOut += n;
    }
    uint64_t t = std::max(std::max(_busyUntilUs, _heardUs) + timing.replyUs, _lineFreeUs);
    for (size_t i = 0; i < n; i++) {
        t += byteUs();
        _out.push_back({data[i], t});
    }
    _lineFreeUs = t;
}

void SimAdapter::send(const std::string& text)
{
    send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void SimAdapter::reply(std::string bytes)
{
    if (faults.dropReplyOf == _commandCount)
        return;
    if (faults.wrongLetterOf == _commandCount && !bytes.empty())
        bytes[0] = static_cast<char>(bytes[0] ^ 0x20);
    if (faults.shortReplyOf == _commandCount && !bytes.empty())
        bytes.resize(std::min(faults.shortReplyKeep, bytes.size() - 1));
    send(bytes);
}

uint8_t SimAdapter::readMem8(uint32_t addr) const
{
    if (addr < _flash.size())
        return _flash[addr];
    if (addr - device::RAM_BASE < RAM_SIZE)
        return _ram[addr - device::RAM_BASE];
    uint32_t reg = addr & ~3u;
    uint32_t value = 0;
    if (reg == device::CPUID_ADDR)
        value = _options.cpuId;
    else if (reg == device::DSU_DID_ADDR)
        value = (_options.chipId & device::DSU_DID_MASK) | (_options.idExtraBits & 0xF) << 12;
    return static_cast<uint8_t>(value >> (8 * (addr & 3)));
}

// Only RAM takes plain stores; flash changes through the vendor commands.
void SimAdapter::writeMem8(uint32_t addr, uint8_t value)
{
    if (addr - device::RAM_BASE < RAM_SIZE)
        _ram[addr - device::RAM_BASE] = value;
}

uint32_t SimAdapter::peekWord(uint32_t addr) const
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; i++)
        value |= static_cast<uint32_t>(readMem8(addr + i)) << (8 * i);
    return value;
}

void SimAdapter::pokeWord(uint32_t addr, uint32_t value)
{
    for (uint32_t i = 0; i < 4; i++) {
        uint32_t a = addr + i;
        uint8_t b = static_cast<uint8_t>(value >> (8 * i));
        if (a < _flash.size())
            _flash[a] = b;
        else
            writeMem8(a, b);
    }
}

bool SimAdapter::loadFlash(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (image.size() != _flash.size())
        return false;
    _flash = std::move(image);
    return true;
}

bool SimAdapter::saveFlash(const std::string& path) const
{
    std::string error;
    return writeFileAtomically(path, _flash.data(), _flash.size(), error);
}
