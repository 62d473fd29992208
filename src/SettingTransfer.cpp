// -s and -u: the adapter's setting area to and from a raw 4096-byte file.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "Device.h"
#include "SambaXcon.h"
#include "StdFile.h"
#include "TarvoXcon.h"

namespace {

// A new file beside target that no one else is using; empty when none can be made.
StdFile createBeside(const std::string& target, std::string& tempName)
{
    for (int i = 0; i < 100; i++) {
        tempName = target + ".tmp" + std::to_string(i);
        // "x": never reuse a file that happens to carry the name.
        if (FILE* f = fopen(tempName.c_str(), "wbx"))
            return StdFile(f);
        if (errno != EEXIST)
            break;
    }
    return nullptr;
}

// Replaces target with data only once all of it is on disk; a failure leaves
// target as it was.
bool replaceFile(const std::string& target, const uint8_t* data, size_t size)
{
    std::string tempName;
    StdFile f = createBeside(target, tempName);
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f.get()) == size && fflush(f.get()) == 0;
    ok = fclose(f.release()) == 0 && ok;
    std::error_code ec;
    if (ok)
        std::filesystem::rename(tempName, target, ec);
    if (!ok || ec) {
        std::filesystem::remove(tempName, ec);
        return false;
    }
    return true;
}

}  // namespace

ActionResult settingSave(Samba& samba, const char* file)
{
    printf("\nDownloading Lens Setting ... ");
    timer_start();
    // Dumped before the file is touched, so a failing adapter leaves it alone.
    samba.eepromDump(device::SETTINGS_SIZE, g_eeprom);

    ActionResult result = ActionResult::Done;
    if (!replaceFile(file, g_eeprom, device::SETTINGS_SIZE)) {
        printf("Failed to create file %s , abort\n", file);
        result = ActionResult::Failed;
    }
    printf("done in %5.3f seconds\n", timer_stop());
    return result;
}

ActionResult settingUpdate(Samba& samba, const char* file, uint32_t chipId)
{
    printf("\n");
    timer_start();

    // The whole image is read before the area is erased: a short or unreadable
    // file must leave the adapter's settings as they are.
    uint8_t image[device::SETTINGS_SIZE];
    {
        StdFile f(fopen(file, "rb"));
        if (!f) {
            printf("Failed in opening adapter setting file %s, abort\n", file);
            return ActionResult::Abort;
        }
        if (fread(image, 1, sizeof(image), f.get()) != sizeof(image)) {
            printf("Adapter setting file %s is shorter than 4096 bytes, abort\n", file);
            return ActionResult::Abort;
        }
    }

    const uint32_t base = device::settingsBase(chipId);
    g_loader_addr = base;
    g_fw_total_size = device::SETTINGS_SIZE;

    printf("Clearing adapter setting, please wait ... ");
    samba.chipErase(base, 1);
    printf(" Done\n");

    printf("Updating adapter setting, please wait ... ");
    for (uint32_t offset = 0; offset < device::SETTINGS_SIZE; offset += device::BLOCK_SIZE) {
        samba.write(device::RAM_BASE, image + offset, device::BLOCK_SIZE);
        samba.writeBuffer(device::RAM_BASE, base + offset, device::BLOCK_SIZE);
        printf(".");
    }
    printf(" Done\n");

    printf("Checksum of adapter setting = 0x%08X\n",
           samba.checksumBuffer(base, device::SETTINGS_SIZE));
    printf("done in %5.3f seconds\n", timer_stop());
    return ActionResult::Done;
}
