// The boot monitor's command interpreter and the flash it works on.
#include <algorithm>
#include <cstdio>

#include "Checksum.h"
#include "SimAdapter.h"

namespace {

// Longer texts are line noise, not commands.
constexpr size_t COMMAND_MAX = 32;
// A raw read reply is built whole; nothing the host may ask needs more.
constexpr uint32_t RAW_REPLY_MAX = 0x100000;

bool parseHex(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

void SimAdapter::handleByte(uint8_t b)
{
    if (gone())
        return;
    switch (_mode) {
    case Mode::Stopped:
        return;
    case Mode::AwaitSync:
        // A line at the wrong speed: nothing makes sense until the host's
        // auto-baud bytes have been measured.
        if (autoBaudEnds(b)) {
            _mode = Mode::Command;
            send("\n\r>");
        }
        return;
    case Mode::RawReceive:
        writeMem8(_xferAddr++, b);
        if (--_xferLeft == 0)
            _mode = Mode::Command;
        return;
    case Mode::XmodemReceive:
        xmodemReceiveByte(b);
        return;
    case Mode::XmodemSend:
        xmodemSendByte(b);
        return;
    case Mode::Command:
        break;
    }

    // A host that connects again sends the auto-baud bytes to a monitor
    // already in step: a new prompt on a UART, not a command.
    if (autoBaudEnds(b)) {
        _command.clear();
        if (_options.link == SimLink::Uart)
            send("\n\r>");
        return;
    }

    // Fields hold only hexadecimal digits and commas, so any other byte
    // starts a new command: line noise costs at most the command it hit.
    bool field = b == ',' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') ||
                 (b >= 'a' && b <= 'f');
    if (!field && b != '#')
        _command.clear();
    _command.push_back(static_cast<char>(b));
    if (b == '#') {
        execute();
        _command.clear();
    } else if (_command.size() > COMMAND_MAX) {
        _command.clear();
    }
}

bool SimAdapter::autoBaudEnds(uint8_t b)
{
    bool ends = _syncTail[0] == 0x80 && _syncTail[1] == 0x80 && b == '#';
    _syncTail[0] = ends ? 0 : _syncTail[1];
    _syncTail[1] = ends ? 0 : b;
    return ends;
}

void SimAdapter::execute()
{
    record.commands.push_back(_command);
    record.exchanges++;
    _commandCount++;
    if (onCommand)
        onCommand(_command);

    char letter = _command[0];
    std::string body = _command.substr(1, _command.size() - 2);
    size_t comma = body.find(',');
    uint32_t addr = 0, value = 0;
    bool hasAddr = parseHex(body.substr(0, comma), addr);
    bool hasValue = comma != std::string::npos && parseHex(body.substr(comma + 1), value);

    switch (letter) {
    case 'V':
        if (body.empty() && !faults.noVersionReply)
            reply(_options.versionText);
        break;
    case 'w':
        if (hasAddr) {
            uint32_t word = peekWord(addr);
            std::string bytes;
            for (int i = 0; i < 4; i++)
                bytes.push_back(static_cast<char>(word >> (8 * i)));
            reply(bytes);
        }
        break;
    case 'o':
        if (hasAddr)
            reply(std::string(1, static_cast<char>(readMem8(addr))));
        break;
    case 'W':
        if (hasAddr && hasValue)
            writeWord(addr, value);
        break;
    case 'O':
        if (hasAddr && hasValue) {
            touchBootloader(addr, 1);
            writeMem8(addr, static_cast<uint8_t>(value));
        }
        break;
    case 'k':
        if (hasAddr) {
            record.jumps.push_back(addr);
            stop();
        }
        break;
    case 'S':
        if (hasAddr && hasValue)
            receive(addr, value);
        break;
    case 'R':
        if (hasAddr && hasValue)
            sendRead(addr, value);
        break;
    case 'X':
        if (hasAddr && hasValue) {
            eraseFrom(addr, value == 0);
            if (!faults.silentErase)
                reply("X\n\r");
        }
        break;
    case 'Y':
        if (hasAddr && hasValue) {
            if (value == 0)
                _copySource = addr;
            else
                copyToFlash(_copySource, addr, value);
            reply("Y\n\r");
        }
        break;
    case 'Z':
        if (hasAddr && hasValue)
            replyChecksum(addr, value);
        break;
    case 'x':
        if (body.empty()) {
            _decoding = true;
            if (!faults.silentInitD)
                reply("x\n\r");
        }
        break;
    default:
        break;
    }
}

void SimAdapter::writeWord(uint32_t addr, uint32_t value)
{
    if (addr == device::AIRCR_ADDR) {
        if (value == device::AIRCR_RESET) {
            record.resets++;
            stop();
        }
        return;
    }
    touchBootloader(addr, 4);
    for (uint32_t i = 0; i < 4; i++)
        writeMem8(addr + i, static_cast<uint8_t>(value >> (8 * i)));
}

void SimAdapter::receive(uint32_t addr, uint32_t size)
{
    touchBootloader(addr, size);
    if (_options.link == SimLink::Uart) {
        startXmodemReceive(addr, size);
    } else if (size > 0) {
        _mode = Mode::RawReceive;
        _xferAddr = addr;
        _xferLeft = size;
    }
}

void SimAdapter::sendRead(uint32_t addr, uint32_t size)
{
    record.readBytesIn += _command.size();
    if (_options.link == SimLink::Uart) {
        record.readData += size;
        startXmodemSend(addr, size);
        return;
    }
    std::string bytes;
    for (uint32_t i = 0; i < std::min(size, RAW_REPLY_MAX); i++)
        bytes.push_back(static_cast<char>(readMem8(addr + i)));
    if (uint8_t mask = takeWrongRead(addr, static_cast<uint32_t>(bytes.size())))
        bytes[faults.wrongReadAddr - addr] ^= static_cast<char>(mask);
    record.readData += bytes.size();
    _rawRead = true;
    reply(bytes);
    _rawRead = false;
}

void SimAdapter::replyChecksum(uint32_t addr, uint32_t size)
{
    // Only flash and RAM add to the sum; anything else reads as 0.
    const uint64_t end = static_cast<uint64_t>(addr) + size;
    const SimChecksum kind = options().checksum;
    uint32_t sum = 0;
    if (addr < _flash.size())
        sum = simChecksum(kind, &_flash[addr], std::min<uint64_t>(end, _flash.size()) - addr);
    const uint64_t ramFrom = std::max<uint64_t>(addr, device::RAM_BASE);
    const uint64_t ramTo = std::min<uint64_t>(end, device::RAM_BASE + RAM_SIZE);
    if (ramFrom < ramTo)
        sum = simChecksum(kind, &_ram[ramFrom - device::RAM_BASE], ramTo - ramFrom, sum);
    char text[16];
    snprintf(text, sizeof(text), "Z%08X", static_cast<unsigned>(sum));
    reply(text);
}

void SimAdapter::touchBootloader(uint32_t addr, uint32_t size)
{
    if (size > 0 && addr < device::BOOTLOADER_END)
        record.bootloaderTouches.push_back(addr);
}

uint8_t SimAdapter::takeWrongRead(uint32_t addr, uint32_t size)
{
    if (!faults.wrongRead || faults.wrongReadAddr < addr ||
        faults.wrongReadAddr - addr >= size || _wrongReadsGiven >= faults.wrongReadTimes)
        return 0;
    // Another wrong value each time (0xFF, 0xFE, ...), as from a cell that
    // reads at random, so that no two spoiled reads agree.
    return static_cast<uint8_t>(0xFF - _wrongReadsGiven++ % 0xFF);
}

// Whole rows from the one holding addr; the bootloader's rows are
// protected and only noted.
void SimAdapter::eraseFrom(uint32_t addr, bool withSettings)
{
    uint32_t end = withSettings ? static_cast<uint32_t>(_flash.size()) : settingsBase();
    uint64_t rows = 0;
    for (uint32_t row = addr & ~(device::ROW_SIZE - 1); row < end; row += device::ROW_SIZE) {
        if (row < device::BOOTLOADER_END) {
            record.bootloaderTouches.push_back(row);
            continue;
        }
        std::fill(_flash.begin() + row, _flash.begin() + row + device::ROW_SIZE, 0xFF);
        record.erasedRows.push_back(row);
        rows++;
    }
    work(rows * timing.rowEraseUs);
}

// NOR flash: a page write can only clear bits, so writing over data that
// was not erased leaves the AND of old and new.
void SimAdapter::copyToFlash(uint32_t src, uint32_t dst, uint32_t size)
{
    uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(dst) + size, _flash.size());
    uint64_t pages = 0;
    const uint8_t mask = _decoding ? faults.xorAfterInitD : 0;
    for (uint64_t page = dst & ~(device::FLASH_PAGE_SIZE - 1); page < end; page += device::FLASH_PAGE_SIZE) {
        if (page < device::BOOTLOADER_END) {
            record.bootloaderTouches.push_back(static_cast<uint32_t>(page));
            continue;
        }
        uint64_t from = std::max<uint64_t>(page, dst);
        uint64_t to = std::min<uint64_t>(page + device::FLASH_PAGE_SIZE, end);
        for (uint64_t a = from; a < to; a++)
            if (a != faults.stuckByte)  // 0, the default, lies in the protected rows
                _flash[a] &= readMem8(static_cast<uint32_t>(src + (a - dst))) ^ mask;
        record.writtenPages.push_back(static_cast<uint32_t>(page));
        pages++;
    }
    work(pages * timing.pageWriteUs);
}
