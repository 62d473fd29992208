// FirmwareCheck over arbitrary package files, walked as the firmware update
// walks them: package after package until one fails its check or the file
// ends. A package that passes must have left a record the update can rely on
// and the file just past its payload checksum.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "Device.h"
#include "FirmwareCheck.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

uint32_t storedChecksum(const std::vector<uint8_t>& file, uint64_t at)
{
    return file[at] | file[at + 1] << 8 | file[at + 2] << 16 |
           static_cast<uint32_t>(file[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // fmemopen wants a buffer of its own and refuses an empty one.
    std::vector<uint8_t> file(data, data + size);
    if (file.empty())
        return 0;
    StdFile f(fmemopen(file.data(), file.size(), "rb"));
    if (!f)
        return 0;

    for (uint64_t base = 0; base < file.size();) {
        if (FirmwareCheck(static_cast<int>(base), f.get()) != FW_OK)
            break;
        const uint64_t end = base + package::HEADER_SIZE + g_fw_total_size;
        check(g_loader_addr == device::FIRMWARE_BASE);
        check(g_fw_total_size % package::PAYLOAD_ALIGN == 0);
        check(device::isKnownType(static_cast<uint8_t>(package::typeLetter(vmd_sigs))));
        check(end + package::CKSUM_SIZE <= file.size());
        check(static_cast<uint64_t>(ftell(f.get())) == end + package::CKSUM_SIZE);
        check(g_enc_cksum == storedChecksum(file, end));
        base += package::span(g_fw_total_size, g_eeprom_handle);
    }
    return 0;
}
