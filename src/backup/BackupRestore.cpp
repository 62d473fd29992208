#include <cstdio>

#include "backup/Backup.h"
#include "backup/BackupSteps.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "FirmwarePackage.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

// What the adapter holds when a restore ends early, and the way back. The
// firmware goes first and the settings after it, on the same connection,
// before the one restart.
enum class Stage { Firmware, Settings };

std::string stateText(Stage stage, const std::string& dir, bool restarted)
{
    std::string text =
        stage == Stage::Firmware
            ? "The adapter holds no complete firmware now (the firmware region was erased and "
              "not written whole, or does not match); its setting area is as it was.\n"
            : "The adapter's firmware is the backup's; its setting area does not hold the "
              "backup's settings now (it was erased and not written whole).\n";
    text += restarted ? "The adapter was restarted. " : "The adapter stays in its boot monitor. ";
    text += "To put the whole backup back, run: tarvo-backup restore " + dir + "\n";
    return text;
}

// A monitor that changes what it receives (one that decodes the maker's
// packages) cannot take an image read from flash.
std::string changedText()
{
    return "This adapter's boot monitor changes the firmware it receives: the first block read "
           "back is not the one sent. Its firmware cannot be put back from a backup, and the "
           "restore stopped after that block.\n"
           "The adapter holds no complete firmware now and stays in its boot monitor; its "
           "bootloader is untouched and its setting area is as it was.\n"
           "Installing the maker's firmware package with tarvo -f FILE makes it work again.\n";
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
    if (files.settings.size() != device::SETTINGS_SIZE) {
        report.text(format("%s is not a setting area (%zu bytes, not 4096), abort\n",
                           settingsPath.c_str(), files.settings.size()));
        return false;
    }
    // It is what the save read, as its SHA-256 shows: put back as it is.
    if (!usableSettingImage(files.settings))
        report.text(settingFormatWarning());

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

// A backup whose save found a monitor that changes what it is sent: its
// firmware would be erased and then not come back, so only the settings go.
Outcome restoreSettingsOnly(Samba& samba, uint32_t chipId, const std::string& dir,
                            const BackupFiles& files, const TakenPackage& taken,
                            Report& report, bool& restarted)
{
    report.text("This backup was saved from an adapter whose boot monitor changes the firmware "
                "it receives: its firmware cannot be put back, and is left as it is (nothing "
                "of it is erased). Putting the settings back only.\n");
    const AreaWrite written = writeSettingArea(
        samba, files.settings.data(), chipId, [&report] { return report.stopRequested(); });
    if (written != AreaWrite::Done) {
        report.text(std::string("The adapter's firmware is as it was; its setting area does "
                                "not hold the backup's settings now (") +
                    (written == AreaWrite::Differs ? "it does not read back as written"
                                                   : "it was erased and not written whole") +
                    ").\n"
                    "The adapter stays in its boot monitor. To put the settings back, run: "
                    "tarvo-backup restore " + dir + "\n");
        return written == AreaWrite::Stopped ? Outcome::Interrupted : Outcome::Failed;
    }
    restartAdapter(samba, taken);
    restarted = true;
    report.text("settings: restored; firmware: refused, as noted in " +
                pathIn(dir, RECORD_FILE) +
                ". To put the backup's firmware back, install the maker's package of it "
                "with tarvo -f FILE.\n");
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return Outcome::Refused;
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

    if (files.record.monitorChanges)
        return restoreSettingsOnly(samba, chipId, dir, files, taken, report, restarted);

    // The firmware first, not restarted, its first block read back before
    // the rest is sent: a monitor that changes what it receives is found
    // before the settings are touched. Then the settings, then one restart.
    InstallOptions install;
    install.stop = [&report] { return report.stopRequested(); };
    install.restart = false;
    install.stopIfChanged = true;
    Stage stage = Stage::Firmware;
    try {
        Install installed = installPackage(samba, taken, install);
        if (installed == Install::Differs) {
            // Written whole and still not matching: once more while the
            // monitor answers, before any restart.
            report.text("The firmware written does not match the backup's; writing it once "
                        "more\n");
            installed = installPackage(samba, taken, install);
        }
        if (installed == Install::Changed) {
            report.text(changedText());
            return Outcome::Failed;
        }
        if (installed != Install::Verified) {
            if (installed == Install::Differs) {
                restartAdapter(samba, taken);
                restarted = true;
            }
            report.text(stateText(stage, dir, restarted));
            return installed == Install::Stopped ? Outcome::Interrupted : Outcome::Failed;
        }
        stage = Stage::Settings;
        const auto stop = install.stop;
        const AreaWrite written = writeSettingArea(samba, files.settings.data(), chipId, stop);
        if (written != AreaWrite::Done) {
            report.text(stateText(stage, dir, false));
            return written == AreaWrite::Stopped ? Outcome::Interrupted : Outcome::Failed;
        }
        restartAdapter(samba, taken);
        restarted = true;
    } catch (...) {
        fflush(stdout);
        report.text("\nThe adapter failed during the restore.\n" +
                    stateText(stage, dir, restarted));
        throw;
    }
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return Outcome::Done;
}

}  // namespace backup
