#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FirmwarePackage.h"

namespace backup {

const char* const FIRMWARE_FILE = "firmware.pkg";
const char* const SETTINGS_FILE = "settings.dat";
const char* const RECORD_FILE = "adapter.txt";

namespace {

void putLe(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Bytes firmwarePackage(const Bytes& region, uint8_t typeLetter, uint16_t boardVersion,
                      uint32_t plainCksum)
{
    const uint32_t total = static_cast<uint32_t>(region.size());
    Bytes pkg(package::HEADER_SIZE + total + package::CKSUM_SIZE, 0);
    uint8_t* header = pkg.data();
    putLe(header + package::SIG_OFFSET,
          package::signature(static_cast<char>(typeLetter)), 4);
    // The firmware version word sits in the region's last 16 bytes.
    const uint8_t* version = region.data() + total - 16;
    putLe(header + package::SW_VER_OFFSET, version[0] | (version[1] << 8), 2);
    putLe(header + package::LOAD_ADDR_OFFSET, device::FIRMWARE_BASE, 4);
    putLe(header + package::TOTAL_OFFSET, total, 4);
    putLe(header + package::PLAIN_CKSUM_OFFSET, plainCksum, 4);
    header[package::WARM_RESET_OFFSET] = 0;
    header[package::HANDLING_OFFSET] = package::HANDLING_KEEP_SETTINGS;
    for (int i = 0; i < package::HW_VER_COUNT; i++)
        putLe(header + package::HW_VER_OFFSET + 2 * i, boardVersion, 2);

    uint32_t sum = 0;
    for (size_t i = 0; i < region.size(); i++) {
        pkg[package::HEADER_SIZE + i] = region[i];
        sum += region[i];
    }
    putLe(pkg.data() + package::HEADER_SIZE + total, sum, 4);
    return pkg;
}

bool parseIdentity(const std::string& text, RecordIdentity& identity)
{
    static const std::string SN = "Adapter SN: ";
    static const std::string PCB = " , PCB Ver: 0x";
    size_t start = 0;
    while (text.compare(start, SN.size(), SN) != 0) {
        start = text.find('\n', start);
        if (start == std::string::npos)
            return false;
        start++;
    }
    start += SN.size();
    size_t pcb = text.find(PCB, start);
    size_t end = text.find('\n', start);
    if (pcb == std::string::npos || pcb > end)
        return false;
    std::string board = text.substr(pcb + PCB.size(), end - (pcb + PCB.size()));
    char* stop = nullptr;
    unsigned long value = strtoul(board.c_str(), &stop, 16);
    if (board.empty() || *stop != '\0' || value > 0xFFFF)
        return false;
    identity.serial = text.substr(start, pcb - start);
    identity.board = static_cast<uint16_t>(value);
    return true;
}

std::string pathIn(const std::string& dir, const char* file)
{
    if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\'))
        return dir + file;
    return dir + "/" + file;
}

std::string format(const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

}  // namespace backup
