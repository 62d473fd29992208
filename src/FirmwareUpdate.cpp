// -f: installs the first package of a package file that fits the adapter.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "AdapterIdentity.h"
#include "Device.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "Progress.h"
#include "SambaXcon.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"

// Between the walk and the read of the package taken; tests change the file
// there, programs leave it empty.
void (*g_beforePackageRead)() = nullptr;

namespace {

// What reading the taken package into memory found.
enum class Loaded { Ok, Invalid, ImageIncomplete };

// Reads the package the walk took, header to the end of its setting image,
// and checks it again there: the file may have changed since the walk, and
// what is streamed must be what was checked. The record then describes the
// copy in memory.
Loaded loadPackage(FILE* f, uint64_t fwStart, const PackageTarget& adapter, std::vector<uint8_t>& pkg)
{
    if (g_beforePackageRead)
        g_beforePackageRead();
    pkg.resize(static_cast<size_t>(package::span(g_fw_total_size, g_eeprom_handle)));
    const size_t got = readPackageBytes(f, fwStart, pkg.data(), pkg.size());
    if (FirmwareCheckBuffer(pkg.data(), got) != FW_OK || !packageFits(adapter))
        return Loaded::Invalid;
    // The check ends at the payload sum; a setting image must be there whole.
    const uint64_t span = package::span(g_fw_total_size, g_eeprom_handle);
    if (got < span)
        return Loaded::ImageIncomplete;
    // A header rewritten since the walk may end the package sooner: what
    // follows it is not the package's.
    pkg.resize(static_cast<size_t>(span));
    return Loaded::Ok;
}

// Streams size bytes from data into flash from the firmware base, starting
// at byte from (a block boundary), telling progress the bytes written so far;
// false when stop ended it before a block.
bool streamBlocks(Samba& samba, const uint8_t* data, uint32_t size, const InstallOptions& options,
                  Progress& progress, uint32_t from = 0)
{
    for (uint32_t k = from / device::BLOCK_SIZE; uint64_t{k} * device::BLOCK_SIZE < size; k++) {
        if ((options.stop && options.stop()) || progress.stopRequested())
            return false;
        samba.write(device::RAM_BASE, data + uint64_t{k} * device::BLOCK_SIZE, device::BLOCK_SIZE);
        samba.writeBuffer(device::RAM_BASE, device::FIRMWARE_BASE + k * device::BLOCK_SIZE,
                          device::BLOCK_SIZE);
        progress.stepProgress(std::min<uint64_t>(uint64_t{k + 1} * device::BLOCK_SIZE, size), size);
    }
    return true;
}

Install stopped(Progress& progress, Install why)
{
    progress.stepFinished();
    progress.text(" stopped\n");
    return why;
}

}  // namespace

Install installPackage(Samba& samba, const TakenPackage& taken, const InstallOptions& options)
{
    PrintedProgress printed;
    Progress& progress = options.progress ? *options.progress : printed;
    const std::vector<uint8_t>& pkg = taken.bytes;
    const PackageTarget& adapter = taken.target;
    g_loader_addr = taken.loadAddr;
    g_fw_total_size = taken.total;
    g_plain_cksum = taken.plainCksum;
    g_warm_reset = taken.warmReset;
    g_eeprom_handle = taken.handling;
    if (g_eeprom_handle == package::HANDLING_WITH_IMAGE)
        g_fw_total_size += package::SETTING_IMAGE_SIZE;
    const uint32_t size = g_fw_total_size;
    progress.stepStarted(phase::WRITE, size);
    samba.chipErase(device::FIRMWARE_BASE,
                    g_eeprom_handle == package::HANDLING_KEEP_SETTINGS ? 0 : 1);
    samba.initD();
    progress.text("Updating firmware, please wait ");
    const uint8_t* payload = pkg.data() + package::HEADER_SIZE;
    uint32_t from = 0;
    if (options.stopIfChanged && size > 0) {
        if (!streamBlocks(samba, payload, device::BLOCK_SIZE, options, progress))
            return stopped(progress, Install::Stopped);
        if (!firstBlockMatches(samba, taken))
            return stopped(progress, Install::Changed);
        from = device::BLOCK_SIZE;
    }
    if (!streamBlocks(samba, payload, size, options, progress, from))
        return stopped(progress, Install::Stopped);
    progress.stepFinished();
    progress.text("\nDone\n");

    // The bytes the adapter sums, as the check's progress.
    const uint64_t summed = uint64_t{adapter.romSize} + device::SETTINGS_SIZE + size;
    progress.stepStarted(phase::CHECK, summed);
    uint32_t crc_prog = samba.checksumBuffer(device::FIRMWARE_BASE, adapter.romSize);
    progress.stepProgress(adapter.romSize, summed);
    uint32_t crc_eeprom =
        samba.checksumBuffer(device::FIRMWARE_BASE + adapter.romSize, device::SETTINGS_SIZE);
    progress.stepProgress(uint64_t{adapter.romSize} + device::SETTINGS_SIZE, summed);
    char line[160];
    snprintf(line, sizeof(line),
             "\tChecksum of Firmware code = 0x%08X\n"
             "\tChecksum of User Configuration Data = 0x%08X\n",
             crc_prog, crc_eeprom);
    progress.text(line);

    bool verified = samba.checksumBuffer(g_loader_addr, size) == g_plain_cksum;
    progress.stepProgress(summed, summed);
    progress.stepFinished();
    progress.text(verified ? "\tFirmware update OK\n" : "\tFirmware update failed\n");
    if (options.restart)
        restartAdapter(samba, taken, &progress);
    return verified ? Install::Verified : Install::Differs;
}

Install installPackage(Samba& samba, const TakenPackage& taken,
                       const std::function<bool()>& stop, Progress* progress)
{
    // Restarted whatever the verification says: the adapter cannot stay in
    // its boot monitor with a freshly written image.
    InstallOptions options;
    options.stop = stop;
    options.progress = progress;
    return installPackage(samba, taken, options);
}

void restartAdapter(Samba& samba, const TakenPackage& taken, Progress* sink)
{
    PrintedProgress printed;
    Progress& progress = sink ? *sink : printed;
    progress.stepStarted(phase::RESTART, 0);
    if (taken.warmReset != 0) {
        progress.text("Warm resetting adapter ... ");
        samba.go(device::FIRMWARE_BASE);
    } else {
        progress.text("Hard resetting adapter ... ");
        samba.reset();
    }
    progress.stepFinished();
    progress.text("Done\n");
}

bool firstBlockMatches(Samba& samba, const TakenPackage& taken)
{
    if (taken.bytes.size() < package::HEADER_SIZE + device::BLOCK_SIZE)
        return true;
    uint8_t flash[device::BLOCK_SIZE];
    samba.read(device::FIRMWARE_BASE, flash, device::BLOCK_SIZE);
    return std::equal(flash, flash + device::BLOCK_SIZE,
                      taken.bytes.begin() + package::HEADER_SIZE);
}

PackageTarget packageTarget(Samba& samba, uint32_t chipId)
{
    const AdapterIdentity id = readBoardAndType(samba);
    return {device::romSize(chipId), id.board, id.type};
}

PackageTake takePackage(Samba& samba, uint32_t chipId, const char* file, bool force,
                        TakenPackage& taken)
{
    taken.target = packageTarget(samba, chipId);
    taken.bytes.clear();
    if (!force && !device::isKnownType(taken.target.ringType))
        return PackageTake::UnknownType;
    StdFile f(fopen(file, "rb"));
    if (!f)
        return PackageTake::CannotOpen;
    uint64_t fwStart = 0;
    if (!findFittingPackage(f.get(), taken.target, fwStart))
        return PackageTake::NoneFits;
    switch (loadPackage(f.get(), fwStart, taken.target, taken.bytes)) {
    case Loaded::Ok:
        taken.loadAddr = g_loader_addr;
        taken.total = g_fw_total_size;
        taken.plainCksum = g_plain_cksum;
        taken.warmReset = g_warm_reset;
        taken.handling = g_eeprom_handle;
        return PackageTake::Taken;
    case Loaded::ImageIncomplete:
        return PackageTake::ImageIncomplete;
    case Loaded::Invalid:
        break;
    }
    return PackageTake::NoneFits;
}

std::string packageTakeText(PackageTake take, const char* file)
{
    const std::string name = file;
    switch (take) {
    case PackageTake::Taken:
        break;
    case PackageTake::UnknownType:
        return "Not Corvane adapters, unable to update, abort\n";
    case PackageTake::CannotOpen:
        return "Failed in opening firmware file " + name + ", abort\n";
    case PackageTake::NoneFits:
        return "No valid firmware found in " + name + ", abort\n";
    case PackageTake::ImageIncomplete:
        // Checked before the erase: a cut-off image would leave the adapter
        // with a setting area that is partly missing.
        return "Setting image of the firmware package in " + name + " is incomplete, abort\n";
    }
    return "";
}

ActionResult firmwareUpdate(Samba& samba, const char* file, uint32_t chipId, bool force,
                            bool& restarted)
{
    restarted = false;
    timer_start();
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, file, force, taken);
    if (take == PackageTake::UnknownType || take == PackageTake::CannotOpen) {
        fputs(packageTakeText(take, file).c_str(), stdout);
        return ActionResult::Abort;
    }

    ActionResult result = ActionResult::Done;
    if (take != PackageTake::Taken) {
        fputs(packageTakeText(take, file).c_str(), stdout);
        result = ActionResult::Failed;
    } else {
        if (installPackage(samba, taken) != Install::Verified)
            result = ActionResult::Failed;
        restarted = true;
    }

    printf("done in %5.3f seconds\n", timer_stop());
    return result;
}
