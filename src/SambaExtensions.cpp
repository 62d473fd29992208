// The bootloader's vendor commands: erase, copy to flash, checksum, prepare.
#include <algorithm>
#include <cstdio>

#include "Device.h"
#include "HexDigit.h"
#include "SambaXcon.h"

namespace {

bool isSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The hexadecimal number after the letter, within the bytes that arrived:
// leading white space skipped, either case accepted.
bool parseHex(const uint8_t* text, int len, uint32_t& value)
{
    int i = 0;
    while (i < len && isSpace(text[i]))
        i++;
    int digits = 0;
    value = 0;
    for (; i < len && hexDigitValue(text[i]) >= 0; i++, digits++)
        value = value << 4 | static_cast<uint32_t>(hexDigitValue(text[i]));
    return digits > 0;
}

}  // namespace

bool Samba::chipErase(uint32_t start_addr, uint8_t clearEEPROMtoo)
{
    if (!_extChipEraseAvailable)
        return false;
    if (_debug)
        printf("%s(addr=%#x)\n", "chipErase", static_cast<unsigned>(start_addr));
    char cmd[16];
    int len = snprintf(cmd, sizeof(cmd), "X%08X,%d#", static_cast<unsigned>(start_addr),
                       clearEEPROMtoo ? 0 : 1);
    sendCommand(cmd, len);
    // The reply comes once the last row is erased, which on the larger chip
    // can take longer than the long window; a reply arriving after the
    // window would be read as the next command's.
    uint32_t rows = device::eraseRows(chip_id, start_addr, clearEEPROMtoo != 0);
    int windowMs = static_cast<int>(rows * device::ROW_ERASE_MAX_MS) + WINDOW_MS;
    uint8_t reply[3];
    // A bootloader that never answers the erase is still taken at its word.
    if (readReply(reply, 3, std::max(windowMs, LONG_WINDOW_MS)) > 0 && reply[0] != 'X')
        throw SambaError();
    return true;
}

bool Samba::writeBuffer(uint32_t src_addr, uint32_t dst_addr, uint32_t size)
{
    if (!_extWriteBufferAvailable)
        return false;
    if (_debug)
        printf("%s(scr_addr=%#x, dst_addr=%#x, size=%#x)\n", "writeBuffer",
               static_cast<unsigned>(src_addr), static_cast<unsigned>(dst_addr),
               static_cast<unsigned>(size));
    char cmd[24];
    uint8_t reply[3];
    int len = snprintf(cmd, sizeof(cmd), "Y%08X,0#", static_cast<unsigned>(src_addr));
    sendCommand(cmd, len);
    if (readReply(reply, 3, SHORT_WINDOW_MS) < 1 || reply[0] != 'Y')
        throw SambaError();

    len = snprintf(cmd, sizeof(cmd), "Y%08X,%08X#", static_cast<unsigned>(dst_addr),
                   static_cast<unsigned>(size));
    sendCommand(cmd, len);
    if (readReply(reply, 3, LONG_WINDOW_MS) < 1 || reply[0] != 'Y')
        throw SambaError();
    return true;
}

uint32_t Samba::checksumBuffer(uint32_t start_addr, uint32_t size)
{
    if (!_extChecksumBufferAvailable)
        throw SambaError();
    if (_debug)
        printf("%s(start_addr=%#x, size=%#x) = ", "checksumBuffer",
               static_cast<unsigned>(start_addr), static_cast<unsigned>(size));
    char cmd[24];
    int len = snprintf(cmd, sizeof(cmd), "Z%08X,%08X#", static_cast<unsigned>(start_addr),
                       static_cast<unsigned>(size));
    sendCommand(cmd, len);
    uint8_t reply[9];
    int got = readReply(reply, 9, LONG_WINDOW_MS);
    // Digits cut off would give a wrong sum, not a short one.
    uint32_t value;
    if (got < 9 || reply[0] != 'Z' || !parseHex(reply + 1, got - 1, value))
        throw SambaError();
    if (_debug)
        printf("%x\n", static_cast<unsigned>(value));
    return value;
}

bool Samba::eepromDump(uint32_t ee_size, uint8_t* ee_buf)
{
    uint32_t base = device::settingsBase(chip_id);
    for (uint32_t offset = 0; offset < ee_size; offset += 4) {
        uint32_t word = readWord(base + offset);
        // A size that is not a multiple of 4 gets only the bytes it asked for.
        for (uint32_t i = 0; i < 4 && offset + i < ee_size; i++)
            ee_buf[offset + i] = static_cast<uint8_t>(word >> (8 * i));
    }
    return true;
}

bool Samba::initD()
{
    if (_debug)
        printf("%s()\n", "initD");
    sendCommand("x#", 2);
    uint8_t reply[3];
    if (readReply(reply, 3, LONG_WINDOW_MS) > 0 && reply[0] != 'x')
        throw SambaError();
    return true;
}
