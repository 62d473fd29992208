#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backup/Backup.h"
#include "backup/BackupSteps.h"
#include "Device.h"
#include "FirmwarePackage.h"
#include "HexDigit.h"

namespace backup {

const char* const FIRMWARE_FILE = "firmware.pkg";
const char* const SETTINGS_FILE = "settings.dat";
const char* const RECORD_FILE = "adapter.txt";

namespace {

const char* const MONITOR_CHANGES_FIELD = "Firmware restore";
const char* const CHECKSUM_FIELD = "Adapter checksum";
const char* const CONFIRMED_OVER = ", confirmed over the firmware region and the setting area";
const char* const NONE_CONFIRMED = "none of the known formulas, each region read twice alike";
const char* const MONITOR_CHANGES_VALUE =
    "refused, this adapter's boot monitor changes the firmware it receives (the settings "
    "restore; keep the maker's package for the firmware)";

}  // namespace

namespace {

void putLe(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The value after "name: " on the last line that starts so; false when none does.
bool field(const std::string& text, const std::string& name, std::string& value, bool first = false)
{
    const std::string key = name + ": ";
    bool found = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, key.size(), key) == 0) {
            value = text.substr(start + key.size(), end - start - key.size());
            found = true;
            if (first)
                break;
        }
        start = end + 1;
    }
    return found;
}

bool fileField(const std::string& value, Record::File& file)
{
    unsigned long long size = 0;
    char sha[65] = {};
    int used = 0;
    if (sscanf(value.c_str(), "%llu bytes, SHA-256 %64[0-9a-f]%n", &size, sha, &used) != 2 ||
        static_cast<size_t>(used) != value.size() || strlen(sha) != 64)
        return false;
    file.size = size;
    file.sha256 = sha;
    return true;
}

// "0x" and up to eight hexadecimal digits, then whatever the line says for a person.
bool hexField(const std::string& value, uint32_t max, uint32_t& out)
{
    unsigned long v = 0;
    int used = 0;
    if (sscanf(value.c_str(), "0x%lx%n", &v, &used) != 1 || used < 3 || v > max)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

std::string escapeText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\')
            out += c;
        else
            out += format("\\x%02X", byte);
    }
    return out;
}

std::string unescapeText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            hexDigitValue(text[i + 2]) >= 0 && hexDigitValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexDigitValue(text[i + 2]) * 16 + hexDigitValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string recordReport(const std::string& version, const AdapterIdentity& id,
                         uint32_t firmwareWord, uint32_t firmwareExtra)
{
    // Line for line what infoLines shows, the texts escaped.
    std::string text = "Bootloader Version: " + escapeText(version) + "\n";
    text += "Adapter SN: " + escapeText(id.serial) + format(" , PCB Ver: 0x%04X\n", id.board);
    text += format("Firmware Version: 0x%04X\nROM Version: 0x%02X\nPre0=%d, Pre1=%d\nType=",
                   firmwareWord & 0xFFFF, (firmwareWord >> 16) & 0xFF,
                   static_cast<int>(firmwareWord >> 24), static_cast<int>(firmwareExtra & 0xFF));
    text += escapeText(std::string(1, static_cast<char>((firmwareExtra >> 8) & 0xFF))) + "\n";
    return text;
}

std::string recordText(const Record& r, const std::string& report, const std::string& saved)
{
    std::string text = report;
    text += format("Chip: 0x%08X (%u KB of flash)\n", r.chipId, r.flashSize / 1024);
    // The words are what is compared; the text is for a person.
    text += format("Serial number: 0x%08X 0x%08X (", r.serialWords[0], r.serialWords[1]) +
            escapeText(r.serial) + ")\n";
    text += format("Board version: 0x%04X\n", r.board);
    text += format("Adapter type: 0x%02X (%c)\n", r.type,
                   r.type >= 0x20 && r.type < 0x7F ? static_cast<char>(r.type) : '?');
    text += format("Firmware checksum: 0x%08X (the adapter's, 0x%05X, %u bytes)\n",
                   r.firmwareChecksum, device::FIRMWARE_BASE, device::romSize(r.chipId));
    text += format("Settings checksum: 0x%08X (the adapter's, 0x%05X, %u bytes)\n",
                   r.settingsChecksum, device::settingsBase(r.chipId), device::SETTINGS_SIZE);
    text += format("%s: %" PRIu64 " bytes, SHA-256 %s\n", FIRMWARE_FILE, r.firmware.size,
                   r.firmware.sha256.c_str());
    text += format("%s: %" PRIu64 " bytes, SHA-256 %s\n", SETTINGS_FILE, r.settings.size,
                   r.settings.sha256.c_str());
    if (r.checksumNoted)
        text += std::string(CHECKSUM_FIELD) + ": " +
                (r.checksumFormulas != 0 ? checksum::names(r.checksumFormulas) + CONFIRMED_OVER
                                         : std::string(NONE_CONFIRMED)) +
                "\n";
    if (r.monitorChanges)
        text += std::string(MONITOR_CHANGES_FIELD) + ": " + MONITOR_CHANGES_VALUE + "\n";
    text += "Saved: " + saved + "\nBy: tarvo-backup " TARVO_VERSION "\n";
    return text;
}

bool parseRecord(const std::string& text, Record& r, std::string& missing)
{
    std::string v;
    uint32_t value = 0;
    unsigned kb = 0;
    int used = 0;
    if (!field(text, "Chip", v) || !hexField(v, UINT32_MAX, r.chipId) ||
        sscanf(v.c_str(), "0x%*x (%u KB of flash)%n", &kb, &used) != 1 ||
        static_cast<size_t>(used) != v.size()) {
        missing = "chip";
        return false;
    }
    r.flashSize = kb * 1024;
    if (!field(text, "Serial number", v) ||
        sscanf(v.c_str(), "0x%8x 0x%8x (%n", &r.serialWords[0], &r.serialWords[1], &used) != 2 ||
        v.empty() || v.back() != ')') {
        missing = "serial number";
        return false;
    }
    r.serial = unescapeText(
        v.substr(static_cast<size_t>(used), v.size() - 1 - static_cast<size_t>(used)));
    if (!field(text, "Board version", v) || !hexField(v, 0xFFFF, value)) {
        missing = "board version";
        return false;
    }
    r.board = static_cast<uint16_t>(value);
    if (!field(text, "Adapter type", v) || !hexField(v, 0xFF, value)) {
        missing = "adapter type";
        return false;
    }
    r.type = static_cast<uint8_t>(value);
    if (!field(text, "Firmware checksum", v) || !hexField(v, UINT32_MAX, r.firmwareChecksum) ||
        !field(text, "Settings checksum", v) || !hexField(v, UINT32_MAX, r.settingsChecksum)) {
        missing = "checksums of the adapter";
        return false;
    }
    if (!field(text, FIRMWARE_FILE, v) || !fileField(v, r.firmware)) {
        missing = std::string("size and SHA-256 of ") + FIRMWARE_FILE;
        return false;
    }
    if (!field(text, SETTINGS_FILE, v) || !fileField(v, r.settings)) {
        missing = std::string("size and SHA-256 of ") + SETTINGS_FILE;
        return false;
    }
    // Records saved before it have no checksum line: nothing was confirmed.
    r.checksumNoted = field(text, CHECKSUM_FIELD, v);
    r.checksumFormulas = 0;
    const size_t over = v.size() - std::min(v.size(), strlen(CONFIRMED_OVER));
    if (r.checksumNoted && v != NONE_CONFIRMED &&
        (v.compare(over, std::string::npos, CONFIRMED_OVER) != 0 ||
         !checksum::fromNames(v.substr(0, over), r.checksumFormulas))) {
        missing = "adapter checksum";
        return false;
    }
    r.monitorChanges = field(text, MONITOR_CHANGES_FIELD, v) &&
                       v.compare(0, 7, "refused") == 0;
    // The report's first line; a record without it still names its adapter.
    r.version.clear();
    if (field(text, "Bootloader Version", v, true))
        r.version = unescapeText(v);
    return true;
}

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

    // The package format's own payload sum, which every package carries.
    uint32_t sum = 0;
    for (size_t i = 0; i < region.size(); i++) {
        pkg[package::HEADER_SIZE + i] = region[i];
        sum += region[i];
    }
    putLe(pkg.data() + package::HEADER_SIZE + total, sum, 4);
    return pkg;
}

std::string pathIn(const std::string& dir, const char* file)
{
    if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\'))
        return dir + file;
    return dir + "/" + file;
}

std::string format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

}  // namespace backup
