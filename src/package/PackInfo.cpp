// tarvo-pack info: the package walk of the firmware update, in words.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Device.h"
#include "FirmwareCheck.h"
#include "package/PackTool.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"
#include "Usage.h"

namespace {

const char* handlingText(uint8_t code)
{
    switch (code) {
    case package::HANDLING_KEEP_SETTINGS: return "setting area kept";
    case package::HANDLING_WITH_IMAGE: return "setting area cleared, 4096-byte setting image follows";
    default: return "setting area cleared";
    }
}

void printRecord(int index, uint64_t offset)
{
    printf("Package %d at offset 0x%08llX\n", index, static_cast<unsigned long long>(offset));
    printf("  type letter:       %c\n", package::typeLetter(vmd_sigs));
    printf("  software version:  0x%04X\n", g_sw_ver);
    printf("  hardware versions:");
    for (uint16_t entry : g_hw_ver) {
        if ((entry & 0xFF) == 0xFF)
            printf(" 0x%02X**", entry >> 8);
        else
            printf(" 0x%04X", entry);
    }
    printf("\n");
    printf("  total size:        0x%08X (%u bytes), ", g_fw_total_size, g_fw_total_size);
    if (uint32_t chip = chipForSize(g_fw_total_size))
        printf("fits chip 0x%08X (%u KB)\n", chip, device::flashSize(chip) / 1024);
    else
        printf("fits no chip\n");
    printf("  handling code:     %u, %s\n", g_eeprom_handle, handlingText(g_eeprom_handle));
    if (g_warm_reset)
        printf("  warm reset:        0x%02X, started at 0x1000 after the update\n", g_warm_reset);
    else
        printf("  warm reset:        0x00, hard reset after the update\n");
    printf("  plain checksum:    0x%08X\n", g_plain_cksum);
    printf("  payload checksum:  0x%08X, matches the payload\n", g_enc_cksum);
}

}  // namespace

int packInfo(const std::vector<std::string>& given)
{
    // "--" ends the options, of which info has none.
    std::vector<std::string> args = given;
    if (!args.empty() && args[0] == "--")
        args.erase(args.begin());
    if (args.size() != 1)
        return reportUsageError(PROGRAM, "info takes one package file", HelpHint::LongOnly);
    const char* name = args[0].c_str();
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(name, ec)) {
        fprintf(stderr, "%s: %s is a directory, not a package file\n", PROGRAM, name);
        return 1;
    }
    StdFile f(fopen(name, "rb"));
    if (!f) {
        fprintf(stderr, "%s: cannot open %s: %s\n", PROGRAM, name, strerror(errno));
        return 1;
    }
    // Not ftell: its long may be 32 bits wide.
    const uintmax_t size = fs::file_size(name, ec);
    if (ec) {
        fprintf(stderr, "%s: cannot tell the length of %s: %s\n", PROGRAM, name,
                ec.message().c_str());
        return 1;
    }
    const uint64_t length = static_cast<uint64_t>(size);

    bool valid = true;
    int index = 0;
    uint64_t offset = 0;
    while (offset < length) {
        int code = FirmwareCheckAt(offset, f.get());
        if (code != FW_OK) {
            printf("Walk stops at offset 0x%08llX: package %d is invalid, %s\n",
                   static_cast<unsigned long long>(offset), index + 1, firmwareCheckText(code));
            return 1;
        }
        printRecord(++index, offset);
        uint64_t next = offset + package::span(g_fw_total_size, g_eeprom_handle);
        if (next > length) {
            // The check does not reach the image; the update refuses such a package.
            printf("  setting image:     incomplete, the file ends %llu bytes early\n",
                   static_cast<unsigned long long>(next - length));
            valid = false;
        }
        offset = next;
    }
    if (index == 0) {
        printf("Walk ends at offset 0x00000000: the file holds no package\n");
        return 1;
    }
    printf("Walk ends at offset 0x%08llX: end of file, %d package%s\n",
           static_cast<unsigned long long>(offset), index, index == 1 ? "" : "s");
    return valid ? 0 : 1;
}
