#include <cstdio>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "FirmwarePackage.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

// What the adapter holds when a restore ends early, and the way back.
enum class Stage { Settings, Firmware };

std::string stateText(Stage stage, const std::string& dir, bool restartedAnyway)
{
    std::string text =
        stage == Stage::Settings
            ? "The adapter's setting area does not hold the backup's settings now (it was "
              "erased and not written whole); its firmware is as it was.\n"
            : "The adapter holds no complete firmware now (the firmware region was erased and "
              "not written whole, or does not match); its setting area holds the backup's "
              "settings.\n";
    text += restartedAnyway ? "The adapter was restarted. "
                            : "The adapter stays in its boot monitor. ";
    text += "To put the whole backup back, run: tarvo-backup restore " + dir + "\n";
    return text;
}

// Everything a restore checks before its first erase; false (reported) when
// the restore must not go ahead.
bool checkRestore(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
                  Report& report, BackupFiles& files, TakenPackage& taken)
{
    if (!loadBackup(dir, files, report))
        return false;
    const std::string settingsPath = pathIn(dir, SETTINGS_FILE);
    const std::string pkgPath = pathIn(dir, FIRMWARE_FILE);
    if (!usableSettingImage(files.settings)) {
        report.text(format("%s is not a setting area the adapter's firmware can use (4096 "
                           "bytes in its format), abort\n",
                           settingsPath.c_str()));
        return false;
    }

    report.text("\n");
    const AdapterNow now = readAdapter(samba, chipId);
    const std::string other = adapterDifference(files.record, now);
    if (!other.empty()) {
        if (!sameChipAndType(files.record, now)) {
            report.text(format("%s is a backup of another adapter: %s; restore refused, abort\n",
                               dir.c_str(), other.c_str()));
            return false;
        }
        report.text(format("%s is a backup of another adapter: %s; %s\n", dir.c_str(),
                           other.c_str(),
                           options.otherAdapter
                               ? "restoring anyway (--other-adapter)"
                               : "restore refused (--other-adapter restores it anyway)"));
        if (!options.otherAdapter)
            return false;
    }

    // The package as tarvo -f would take it, and then only one that keeps
    // the setting area: any other handling code would erase or overwrite the
    // settings just restored.
    const PackageTake take = takePackage(samba, chipId, pkgPath.c_str(), options.anyType, taken);
    if (take != PackageTake::Taken) {
        report.text(packageTakeText(take, pkgPath.c_str()));
        return false;
    }
    if (taken.bytes != files.package) {
        report.text(format("%s holds more than the backup's one package, or changed while "
                           "it was read, abort\n",
                           pkgPath.c_str()));
        return false;
    }
    if (taken.handling != package::HANDLING_KEEP_SETTINGS) {
        report.text(format("%s is not a backup's package: its handling code %u does not keep "
                           "the setting area, abort\n",
                           pkgPath.c_str(), taken.handling));
        return false;
    }
    return true;
}

}  // namespace

Outcome restore(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
                Report& report, bool& restarted)
{
    restarted = false;
    timer_start();
    BackupFiles files;
    TakenPackage taken;
    if (!checkRestore(samba, chipId, dir, options, report, files, taken))
        return Outcome::Refused;
    if (report.stopRequested()) {
        report.text("Restore interrupted before anything was written\n");
        return Outcome::Interrupted;
    }

    // The install restarts the adapter, after which its monitor answers no
    // more; so the settings go first, and the install keeps them.
    const auto stop = [&report] { return report.stopRequested(); };
    Stage stage = Stage::Settings;
    try {
        const AreaWrite written = writeSettingArea(samba, files.settings.data(), chipId, stop);
        if (written != AreaWrite::Done) {
            report.text(stateText(stage, dir, false));
            return written == AreaWrite::Stopped ? Outcome::Interrupted : Outcome::Failed;
        }
        stage = Stage::Firmware;
        const Install installed = installPackage(samba, taken, stop);
        restarted = installed != Install::Stopped;
        if (installed != Install::Verified) {
            report.text(stateText(stage, dir, restarted));
            return installed == Install::Stopped ? Outcome::Interrupted : Outcome::Failed;
        }
    } catch (...) {
        fflush(stdout);
        report.text("\nThe adapter failed during the restore.\n" + stateText(stage, dir, false));
        throw;
    }
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return Outcome::Done;
}

}  // namespace backup
