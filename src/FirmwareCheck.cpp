#include "FirmwareCheck.h"

#include <climits>

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

// Field reads count whole items only: a partial field is a missing field.
bool readU32(FILE* f, uint32_t& value)
{
    uint8_t b[4];
    if (fread(b, sizeof(b), 1, f) != 1)
        return false;
    value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}

bool readU16(FILE* f, uint16_t& value)
{
    uint8_t b[2];
    if (fread(b, sizeof(b), 1, f) != 1)
        return false;
    value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool readU8(FILE* f, uint8_t& value)
{
    return fread(&value, 1, 1, f) == 1;
}

}  // namespace

int FirmwareCheck(int base, FILE* f)
{
    // An offset past the end is not caught here: the next read fails instead.
    fseek(f, base, SEEK_SET);

    uint32_t sig;
    if (!readU32(f, sig))
        return FW_NO_SIGNATURE;
    if ((sig & 0xFFFFFF) != (package::signature(0) & 0xFFFFFF) ||
        !device::isKnownType(static_cast<uint8_t>(package::typeLetter(sig))))
        return FW_BAD_SIGNATURE;
    vmd_sigs = sig;

    if (!readU16(f, g_sw_ver))
        return FW_NO_SW_VER;

    fseek(f, base + static_cast<long>(package::LOAD_ADDR_OFFSET), SEEK_SET);
    uint32_t loadAddr;
    if (!readU32(f, loadAddr) || loadAddr != device::FIRMWARE_BASE)
        return FW_BAD_LOAD_ADDR;
    g_loader_addr = device::FIRMWARE_BASE;

    uint32_t total;
    if (!readU32(f, total))
        return FW_NO_TOTAL;
    if (total % package::PAYLOAD_ALIGN != 0)
        return FW_BAD_TOTAL;
    g_fw_total_size = total;

    if (!readU32(f, g_plain_cksum))
        return FW_NO_PLAIN_CKSUM;

    fseek(f, base + static_cast<long>(package::WARM_RESET_OFFSET), SEEK_SET);
    // A short read here leaves the old values; the hardware list then fails.
    readU8(f, g_warm_reset);
    readU8(f, g_eeprom_handle);

    for (uint16_t& entry : g_hw_ver)
        if (!readU16(f, entry))
            return FW_BAD_HW_VER;

    uint32_t sum = 0;
    uint8_t block[package::PAYLOAD_ALIGN];
    for (uint32_t done = 0; done < total; done += sizeof(block)) {
        if (fread(block, sizeof(block), 1, f) != 1)
            return FW_SHORT_PAYLOAD;
        for (uint8_t byte : block)
            sum += byte;
    }

    uint32_t stored;
    if (!readU32(f, stored))
        return FW_NO_PAYLOAD_CKSUM;
    if (stored != sum)
        return FW_CKSUM_MISMATCH;
    g_enc_cksum = sum;
    return FW_OK;
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

bool findFittingPackage(FILE* f, uint64_t length, const PackageTarget& target, uint64_t& fwStart)
{
    g_loader_addr = device::FIRMWARE_BASE;
    for (fwStart = 0; fwStart < length;) {
        if (fwStart > INT_MAX || FirmwareCheck(static_cast<int>(fwStart), f) != FW_OK)
            return false;
        if (packageFits(target))
            return true;
        fwStart += package::span(g_fw_total_size, g_eeprom_handle);
    }
    return false;
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
