#include <algorithm>
#include <filesystem>
#include <system_error>

#include "backup/Backup.h"
#include "backup/BackupSteps.h"
#include "Device.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "FirmwarePackage.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

// verify FILE: the package tarvo -f would take, by the adapter's checksum of
// what it would write.
Outcome verifyPackage(Samba& samba, uint32_t chipId, const std::string& file,
                      const Options& options, Report& report, Verdicts& verdicts)
{
    report.text("\n");
    timer_start();
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, file.c_str(), options.anyType, taken);
    if (take != PackageTake::Taken) {
        report.text(packageTakeText(take, file.c_str()));
        return Outcome::Refused;
    }
    // A package with a setting image streams and verifies the image too.
    uint32_t size = taken.total;
    if (taken.handling == package::HANDLING_WITH_IMAGE)
        size += package::SETTING_IMAGE_SIZE;
    const bool same = samba.checksumBuffer(taken.loadAddr, size) == taken.plainCksum;
    verdicts.firmware = same ? Verdicts::State::Matches : Verdicts::State::Differs;
    report.text(same ? "firmware: matches\n" : "firmware: differs\n");
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return same ? Outcome::Done : Outcome::Differs;
}

// verify DIR: the record first, then the firmware region and the setting
// area byte by byte (each read as a save reads it), the adapter's own
// checksum of the firmware region compared with the one recorded too.
Outcome verifyFolder(Samba& samba, uint32_t chipId, const std::string& dir, Report& report,
                     Verdicts& verdicts)
{
    BackupFiles files;
    if (!loadBackup(dir, files, report))
        return Outcome::Refused;
    const std::string settingsPath = pathIn(dir, SETTINGS_FILE);
    if (files.settings.size() != device::SETTINGS_SIZE) {
        report.text(format("%s is not a setting area (%zu bytes, not 4096), abort\n",
                           settingsPath.c_str(), files.settings.size()));
        return Outcome::Refused;
    }

    const uint32_t romSize = device::romSize(chipId);
    if (files.package.size() != uint64_t{package::HEADER_SIZE} + romSize + package::CKSUM_SIZE &&
        files.record.chipId == chipId) {
        report.text(format("%s is not a backup's package (%zu bytes, not the firmware region "
                           "of this chip), abort\n",
                           pathIn(dir, FIRMWARE_FILE).c_str(), files.package.size()));
        return Outcome::Refused;
    }

    report.text("\n");
    timer_start();
    const std::string other = adapterDifference(files.record, readAdapter(samba, chipId));
    if (!other.empty()) {
        report.text(format("%s is a backup of another adapter: %s\n", dir.c_str(),
                           other.c_str()));
        return Outcome::Refused;
    }
    // The adapter's checksum alone may miss a change (a byte sum misses two
    // bytes swapped): the region is compared with the package byte for byte.
    Bytes region;
    uint32_t sum = 0;
    ReadSession session;
    Read read = readChecked(samba, session, report, "firmware", device::FIRMWARE_BASE, romSize,
                            region, sum);
    if (read != Read::Ok)
        return read == Read::Stopped ? Outcome::Interrupted : Outcome::Failed;
    const bool firmwareSame =
        sum == files.record.firmwareChecksum &&
        std::equal(region.begin(), region.end(), files.package.begin() + package::HEADER_SIZE);
    verdicts.firmware = firmwareSame ? Verdicts::State::Matches : Verdicts::State::Differs;
    report.text(firmwareSame ? "firmware: matches\n" : "firmware: differs\n");

    Bytes area;
    read = readChecked(samba, session, report, "settings", device::settingsBase(chipId),
                       device::SETTINGS_SIZE, area, sum);
    if (read != Read::Ok)
        return read == Read::Stopped ? Outcome::Interrupted : Outcome::Failed;
    size_t differ = 0;
    for (size_t i = 0; i < area.size(); i++)
        differ += area[i] != files.settings[i];
    verdicts.settings = differ == 0 ? Verdicts::State::Matches : Verdicts::State::Differs;
    verdicts.settingsDiffer = differ;
    if (differ == 0)
        report.text("settings: matches\n");
    else
        report.text(format("settings: differ in %zu bytes\n", differ));
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return firmwareSame && differ == 0 ? Outcome::Done : Outcome::Differs;
}

}  // namespace

Outcome verify(Samba& samba, uint32_t chipId, const std::string& target, const Options& options,
               Report& report, Verdicts* verdicts)
{
    Verdicts found;
    Verdicts& into = verdicts ? *verdicts : found;
    into = Verdicts();
    std::error_code ec;
    if (std::filesystem::is_directory(target, ec))
        return verifyFolder(samba, chipId, target, report, into);
    return verifyPackage(samba, chipId, target, options, report, into);
}

}  // namespace backup
