#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FileRead.h"
#include "FirmwareCheck.h"
#include "SambaXcon.h"
#include "StdFile.h"
#include "TarvoXcon.h"

namespace backup {

// The package of file that tarvo -f would take for this adapter: the same
// type gate and walk. False (reported) when it would take none.
bool takePackage(Samba& samba, uint32_t chipId, const std::string& file, bool anyType,
                 Report& report)
{
    const PackageTarget target = packageTarget(samba, chipId);
    if (!anyType && !device::isKnownType(target.ringType)) {
        report.text("Not Corvane adapters, unable to update, abort\n");
        return false;
    }
    StdFile f(fopen(file.c_str(), "rb"));
    if (!f) {
        report.text(format("Failed in opening firmware file %s, abort\n", file.c_str()));
        return false;
    }
    uint64_t fwStart = 0;
    if (!findFittingPackage(f.get(), target, fwStart)) {
        report.text(format("No valid firmware found in %s, abort\n", file.c_str()));
        return false;
    }
    return true;
}

namespace {

// The firmware line of verify, for the package in the record.
bool verifyFirmware(Samba& samba, Report& report)
{
    // A package with a setting image streams and verifies the image too.
    uint32_t size = g_fw_total_size;
    if (g_eeprom_handle == package::HANDLING_WITH_IMAGE)
        size += package::SETTING_IMAGE_SIZE;
    bool same = samba.checksumBuffer(g_loader_addr, size) == g_plain_cksum;
    report.text(same ? "firmware: matches\n" : "firmware: differs\n");
    return same;
}

}  // namespace

Outcome verify(Samba& samba, uint32_t chipId, const std::string& target, const Options& options,
               Report& report)
{
    std::error_code ec;
    const bool isDir = std::filesystem::is_directory(target, ec);
    const std::string pkg = isDir ? pathIn(target, FIRMWARE_FILE) : target;
    Bytes saved;
    std::string error;
    if (isDir && !readFileBytes(pathIn(target, SETTINGS_FILE), saved, error)) {
        report.text(format("Failed in opening adapter setting file %s, abort\n",
                           pathIn(target, SETTINGS_FILE).c_str()));
        return Outcome::Refused;
    }

    report.text("\n");
    timer_start();
    if (!takePackage(samba, chipId, pkg, options.anyType, report))
        return Outcome::Refused;
    bool same = verifyFirmware(samba, report);
    if (isDir) {
        Bytes area;
        uint32_t sum;
        if (!readChecked(samba, report, "settings", device::settingsBase(chipId),
                         device::SETTINGS_SIZE, area, sum))
            return Outcome::Failed;
        size_t differ = saved.size() < area.size() ? area.size() - saved.size() : 0;
        for (size_t i = 0; i < area.size() && i < saved.size(); i++)
            differ += area[i] != saved[i];
        if (differ == 0)
            report.text("settings: matches\n");
        else
            report.text(format("settings: differ in %zu bytes\n", differ));
        same = same && differ == 0;
    }
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return same ? Outcome::Done : Outcome::Differs;
}

}  // namespace backup
