// -s and -u: the adapter's setting area to and from a raw 4096-byte file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "Device.h"
#include "files/FileReplace.h"
#include "Progress.h"
#include "SambaXcon.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"

namespace {

// As the actions end their output.
std::string timeText(float seconds)
{
    char line[48];
    snprintf(line, sizeof(line), "done in %5.3f seconds\n", seconds);
    return line;
}

}  // namespace

ActionResult settingSave(Samba& samba, const char* file, Progress* sink)
{
    PrintedProgress printed;
    Progress& progress = sink ? *sink : printed;
    progress.text("\nDownloading Lens Setting ... ");
    timer_start();
    // Dumped before the file is touched, so a failing adapter leaves it alone.
    progress.stepStarted(phase::READ_SETTINGS, device::SETTINGS_SIZE);
    try {
        samba.eepromDump(device::SETTINGS_SIZE, g_eeprom);
    } catch (...) {
        progress.stepFinished();
        throw;
    }
    progress.stepProgress(device::SETTINGS_SIZE, device::SETTINGS_SIZE);
    progress.stepFinished();

    ActionResult result = ActionResult::Done;
    std::string error;
    if (!writeFileAtomically(file, g_eeprom, device::SETTINGS_SIZE, error)) {
        progress.text(std::string("Failed to create file ") + file + " , abort\n");
        // Its own line, as the exception report is, after the connection text.
        fprintf(stderr, "\n%s\n", error.c_str());
        result = ActionResult::Failed;
    }
    progress.text(timeText(timer_stop()));
    return result;
}

AreaWrite writeSettingArea(Samba& samba, const uint8_t* image, uint32_t chipId,
                           const std::function<bool()>& stop, Progress* sink)
{
    PrintedProgress printed;
    Progress& progress = sink ? *sink : printed;
    const uint32_t base = device::settingsBase(chipId);
    g_loader_addr = base;
    g_fw_total_size = device::SETTINGS_SIZE;

    progress.stepStarted(phase::WRITE_SETTINGS, device::SETTINGS_SIZE);
    struct Finish {
        Progress& progress;
        ~Finish() { progress.stepFinished(); }
    } finish{progress};
    progress.text("Clearing adapter setting, please wait ... ");
    samba.chipErase(base, 1);
    progress.text(" Done\n");

    progress.text("Updating adapter setting, please wait ... ");
    for (uint32_t offset = 0; offset < device::SETTINGS_SIZE; offset += device::BLOCK_SIZE) {
        if ((stop && stop()) || progress.stopRequested()) {
            progress.text(" stopped\n");
            return AreaWrite::Stopped;
        }
        samba.write(device::RAM_BASE, image + offset, device::BLOCK_SIZE);
        samba.writeBuffer(device::RAM_BASE, base + offset, device::BLOCK_SIZE);
        progress.stepProgress(offset + device::BLOCK_SIZE, device::SETTINGS_SIZE);
    }
    progress.text(" Done\n");

    char line[64];
    snprintf(line, sizeof(line), "Checksum of adapter setting = 0x%08X\n",
             samba.checksumBuffer(base, device::SETTINGS_SIZE));
    progress.text(line);

    // The checksum is only shown; the area read back tells whether every
    // byte took. One block read: word by word would be 1024 exchanges.
    uint8_t written[device::SETTINGS_SIZE];
    samba.read(base, written, device::SETTINGS_SIZE);
    int differ = 0;
    for (uint32_t i = 0; i < device::SETTINGS_SIZE; i++)
        differ += written[i] != image[i];
    if (differ != 0) {
        snprintf(line, sizeof(line), "Adapter setting update failed, %d bytes differ\n", differ);
        progress.text(line);
        return AreaWrite::Differs;
    }
    return AreaWrite::Done;
}

ActionResult settingUpdate(Samba& samba, const char* file, uint32_t chipId)
{
    printf("\n");
    timer_start();

    // The whole image is read before the area is erased: a short or unreadable
    // file must leave the adapter's settings as they are.
    uint8_t image[device::SETTINGS_SIZE];
    {
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) {
            printf("Adapter setting file %s is a directory, abort\n", file);
            return ActionResult::Abort;
        }
        StdFile f(fopen(file, "rb"));
        if (!f) {
            printf("Failed in opening adapter setting file %s, abort\n", file);
            return ActionResult::Abort;
        }
        if (fread(image, 1, sizeof(image), f.get()) != sizeof(image)) {
            if (ferror(f.get()))
                printf("Failed in reading adapter setting file %s, abort\n", file);
            else
                printf("Adapter setting file %s is shorter than 4096 bytes, abort\n", file);
            return ActionResult::Abort;
        }
    }

    ActionResult result =
        writeSettingArea(samba, image, chipId) == AreaWrite::Done ? ActionResult::Done
                                                                   : ActionResult::Failed;
    printf("done in %5.3f seconds\n", timer_stop());
    return result;
}
