// -f: installs the first package of a package file that fits the adapter.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "AdapterIdentity.h"
#include "Device.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "SambaXcon.h"
#include "StdFile.h"
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
// at byte from (a block boundary); false when stop ended it before a block.
bool streamBlocks(Samba& samba, const uint8_t* data, uint32_t size,
                  const std::function<bool()>& stop, uint32_t from = 0)
{
    for (uint32_t k = from / device::BLOCK_SIZE; uint64_t{k} * device::BLOCK_SIZE < size; k++) {
        if (stop && stop())
            return false;
        samba.write(device::RAM_BASE, data + uint64_t{k} * device::BLOCK_SIZE, device::BLOCK_SIZE);
        samba.writeBuffer(device::RAM_BASE, device::FIRMWARE_BASE + k * device::BLOCK_SIZE,
                          device::BLOCK_SIZE);
        if (k % 16 == 0)
            printf(".");
        fflush(stdout);
    }
    return true;
}

}  // namespace

Install installPackage(Samba& samba, const TakenPackage& taken, const InstallOptions& options)
{
    const std::vector<uint8_t>& pkg = taken.bytes;
    const PackageTarget& adapter = taken.target;
    g_loader_addr = taken.loadAddr;
    g_fw_total_size = taken.total;
    g_plain_cksum = taken.plainCksum;
    g_warm_reset = taken.warmReset;
    g_eeprom_handle = taken.handling;
    if (g_eeprom_handle == package::HANDLING_WITH_IMAGE)
        g_fw_total_size += package::SETTING_IMAGE_SIZE;
    samba.chipErase(device::FIRMWARE_BASE,
                    g_eeprom_handle == package::HANDLING_KEEP_SETTINGS ? 0 : 1);
    samba.initD();
    printf("Updating firmware, please wait ");
    const uint8_t* payload = pkg.data() + package::HEADER_SIZE;
    uint32_t from = 0;
    if (options.stopIfChanged && g_fw_total_size > 0) {
        if (!streamBlocks(samba, payload, device::BLOCK_SIZE, options.stop)) {
            printf(" stopped\n");
            fflush(stdout);
            return Install::Stopped;
        }
        if (!firstBlockMatches(samba, taken)) {
            printf(" stopped\n");
            fflush(stdout);
            return Install::Changed;
        }
        from = device::BLOCK_SIZE;
    }
    if (!streamBlocks(samba, payload, g_fw_total_size, options.stop, from)) {
        printf(" stopped\n");
        fflush(stdout);
        return Install::Stopped;
    }
    printf("\nDone\n");

    uint32_t crc_prog = samba.checksumBuffer(device::FIRMWARE_BASE, adapter.romSize);
    uint32_t crc_eeprom =
        samba.checksumBuffer(device::FIRMWARE_BASE + adapter.romSize, device::SETTINGS_SIZE);
    printf("\tChecksum of Firmware code = 0x%08X\n"
           "\tChecksum of User Configuration Data = 0x%08X\n",
           crc_prog, crc_eeprom);

    bool verified = samba.checksumBuffer(g_loader_addr, g_fw_total_size) == g_plain_cksum;
    printf("\tFirmware update %s\n", verified ? "OK" : "failed");
    fflush(stdout);
    if (options.restart)
        restartAdapter(samba, taken);
    return verified ? Install::Verified : Install::Differs;
}

Install installPackage(Samba& samba, const TakenPackage& taken,
                       const std::function<bool()>& stop)
{
    // Restarted whatever the verification says: the adapter cannot stay in
    // its boot monitor with a freshly written image.
    InstallOptions options;
    options.stop = stop;
    return installPackage(samba, taken, options);
}

void restartAdapter(Samba& samba, const TakenPackage& taken)
{
    if (taken.warmReset != 0) {
        printf("Warm resetting adapter ... ");
        samba.go(device::FIRMWARE_BASE);
    } else {
        printf("Hard resetting adapter ... ");
        samba.reset();
    }
    printf("Done\n");
    fflush(stdout);
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
