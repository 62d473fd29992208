#include "FirmwareCheck.h"

#include <climits>
#include <cstring>

#include "Device.h"
#include "TarvoXcon.h"

uint32_t vmd_sigs;
uint16_t g_sw_ver;
uint32_t g_plain_cksum;
uint8_t g_warm_reset;
uint8_t g_eeprom_handle;
uint16_t g_hw_ver[package::HW_VER_COUNT];
uint32_t g_enc_cksum;

namespace {

// Reads of whole items only: a partial field is a missing field.
class FileSource {
public:
    explicit FileSource(FILE* f) : _f(f) {}
    // long may be 32 bits wide, so far offsets are reached in steps.
    void seek(uint64_t offset)
    {
        if (offset <= LONG_MAX) {
            fseek(_f, static_cast<long>(offset), SEEK_SET);
            return;
        }
        fseek(_f, 0, SEEK_SET);
        while (offset > 0) {
            long step = offset < LONG_MAX ? static_cast<long>(offset) : LONG_MAX;
            fseek(_f, step, SEEK_CUR);
            offset -= static_cast<uint64_t>(step);
        }
    }
    bool read(void* out, size_t size) { return fread(out, size, 1, _f) == 1; }

private:
    FILE* _f;
};

class MemorySource {
public:
    MemorySource(const uint8_t* data, size_t size) : _data(data), _size(size) {}
    void seek(uint64_t offset) { _pos = offset; }
    bool read(void* out, size_t size)
    {
        if (_pos > _size || _size - _pos < size)
            return false;
        memcpy(out, _data + _pos, size);
        _pos += size;
        return true;
    }

private:
    const uint8_t* _data;
    size_t _size;
    uint64_t _pos = 0;
};

// The 32-bit wrap-around sum of the bytes, taken eight at a time in four
// 16-bit lanes; the walk of a large file spends its time here.
uint32_t addBytes(uint32_t sum, const uint8_t* data, size_t size)
{
    constexpr uint64_t LOW_BYTES = 0x00FF00FF00FF00FFull;
    size_t i = 0;
    while (size - i >= 8) {
        uint64_t lanes = 0;
        // Each word adds at most 510 to a lane: 128 words stay below 65536.
        for (int w = 0; w < 128 && size - i >= 8; w++, i += 8) {
            uint64_t word;
            memcpy(&word, data + i, sizeof(word));
            lanes += (word & LOW_BYTES) + ((word >> 8) & LOW_BYTES);
        }
        sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) +
                                     ((lanes >> 32) & 0xFFFF) + (lanes >> 48));
    }
    for (; i < size; i++)
        sum += data[i];
    return sum;
}

template <class Source>
bool readU32(Source& src, uint32_t& value)
{
    uint8_t b[4];
    if (!src.read(b, sizeof(b)))
        return false;
    value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}

template <class Source>
bool readU16(Source& src, uint16_t& value)
{
    uint8_t b[2];
    if (!src.read(b, sizeof(b)))
        return false;
    value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

template <class Source>
int checkPackage(Source& src, uint64_t base)
{
    // An offset past the end is not caught here: the next read fails instead.
    src.seek(base);

    uint32_t sig;
    if (!readU32(src, sig))
        return FW_NO_SIGNATURE;
    if ((sig & 0xFFFFFF) != (package::signature(0) & 0xFFFFFF) ||
        !device::isKnownType(static_cast<uint8_t>(package::typeLetter(sig))))
        return FW_BAD_SIGNATURE;
    vmd_sigs = sig;

    if (!readU16(src, g_sw_ver))
        return FW_NO_SW_VER;

    src.seek(base + package::LOAD_ADDR_OFFSET);
    uint32_t loadAddr;
    if (!readU32(src, loadAddr) || loadAddr != device::FIRMWARE_BASE)
        return FW_BAD_LOAD_ADDR;
    g_loader_addr = device::FIRMWARE_BASE;

    uint32_t total;
    if (!readU32(src, total))
        return FW_NO_TOTAL;
    if (total % package::PAYLOAD_ALIGN != 0)
        return FW_BAD_TOTAL;
    g_fw_total_size = total;

    if (!readU32(src, g_plain_cksum))
        return FW_NO_PLAIN_CKSUM;

    src.seek(base + package::WARM_RESET_OFFSET);
    // A short read here leaves the old values; the hardware list then fails.
    src.read(&g_warm_reset, 1);
    src.read(&g_eeprom_handle, 1);

    for (uint16_t& entry : g_hw_ver)
        if (!readU16(src, entry))
            return FW_BAD_HW_VER;

    // Whole 64-byte blocks, many at a time: a payload ending inside one is short.
    uint32_t sum = 0;
    uint8_t blocks[64 * package::PAYLOAD_ALIGN];
    for (uint32_t left = total; left > 0;) {
        const uint32_t n = left < sizeof(blocks) ? left : static_cast<uint32_t>(sizeof(blocks));
        if (!src.read(blocks, n))
            return FW_SHORT_PAYLOAD;
        sum = addBytes(sum, blocks, n);
        left -= n;
    }

    uint32_t stored;
    if (!readU32(src, stored))
        return FW_NO_PAYLOAD_CKSUM;
    if (stored != sum)
        return FW_CKSUM_MISMATCH;
    g_enc_cksum = sum;
    return FW_OK;
}

}  // namespace

int FirmwareCheck(int base, FILE* f)
{
    return base < 0 ? FW_NO_SIGNATURE : FirmwareCheckAt(static_cast<uint64_t>(base), f);
}

int FirmwareCheckAt(uint64_t base, FILE* f)
{
    FileSource src(f);
    return checkPackage(src, base);
}

int FirmwareCheckBuffer(const uint8_t* data, size_t size)
{
    MemorySource src(data, size);
    return checkPackage(src, 0);
}

size_t readPackageBytes(FILE* f, uint64_t offset, uint8_t* out, size_t size)
{
    FileSource(f).seek(offset);
    return fread(out, 1, size, f);
}

bool packageFits(const PackageTarget& target)
{
    bool hwMatch = false;
    for (uint16_t entry : g_hw_ver)
        hwMatch = hwMatch || package::hwMatches(entry, target.hwver);

    bool typeMatch;
    if (device::isKnownType(target.ringType))
        typeMatch = vmd_sigs == package::signature(static_cast<char>(target.ringType));
    else
        typeMatch = target.ringType == 0xFF;  // any other letter only passes under -I

    return hwMatch && typeMatch && g_fw_total_size == target.romSize;
}

bool findFittingPackage(FILE* f, const PackageTarget& target, uint64_t& fwStart)
{
    g_loader_addr = device::FIRMWARE_BASE;
    // The end of the file is where the next check finds no signature, so the
    // walk needs no file length (and no ftell, whose long may be 32 bits).
    for (fwStart = 0;; fwStart += package::span(g_fw_total_size, g_eeprom_handle)) {
        if (FirmwareCheckAt(fwStart, f) != FW_OK)
            return false;
        if (packageFits(target))
            return true;
    }
}

const char* firmwareCheckText(int code)
{
    switch (code) {
    case FW_OK: return "valid package";
    case FW_BAD_HW_VER: return "hardware-version list cannot be read";
    case FW_NO_SIGNATURE: return "signature cannot be read";
    case FW_BAD_SIGNATURE: return "signature is not \"VMD\" followed by C, E, K, N or X";
    case FW_NO_SW_VER: return "software version cannot be read";
    case FW_BAD_LOAD_ADDR: return "load address cannot be read or is not 0x1000";
    case FW_NO_TOTAL: return "total size cannot be read";
    case FW_BAD_TOTAL: return "total size is not a multiple of 64";
    case FW_NO_PLAIN_CKSUM: return "plain checksum cannot be read";
    case FW_SHORT_PAYLOAD: return "payload ends before its total size";
    case FW_NO_PAYLOAD_CKSUM: return "payload checksum cannot be read";
    case FW_CKSUM_MISMATCH: return "payload checksum differs from the payload's sum";
    }
    return "unknown result";
}

std::vector<PackageSummary> listPackages(FILE* f, const PackageTarget& target, int& stopCode)
{
    std::vector<PackageSummary> list;
    g_loader_addr = device::FIRMWARE_BASE;
    for (uint64_t at = 0;; at += package::span(g_fw_total_size, g_eeprom_handle)) {
        stopCode = FirmwareCheckAt(at, f);
        if (stopCode != FW_OK)
            return list;
        PackageSummary one;
        one.type = package::typeLetter(vmd_sigs);
        one.version = g_sw_ver;
        one.total = g_fw_total_size;
        one.handling = g_eeprom_handle;
        for (uint16_t entry : g_hw_ver) {
            one.boards.push_back(entry);
            one.boardFits = one.boardFits || package::hwMatches(entry, target.hwver);
        }
        one.typeFits = device::isKnownType(target.ringType)
                           ? vmd_sigs == package::signature(static_cast<char>(target.ringType))
                           : target.ringType == 0xFF;
        one.chipFits = g_fw_total_size == target.romSize;
        list.push_back(one);
    }
}
