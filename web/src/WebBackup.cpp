#include "WebBackup.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "AdapterSelect.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "GuardedInstall.h"
#include "Pause.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"
#include "WebPortFactory.h"

// The page's progress bar: share of the work done, 0 to 1; fresh starts the
// bar's time estimate again (a new step of its own).
EM_JS(void, web_progress, (double share, int fresh), {
    if (Module.onProgress) Module.onProgress(share, fresh != 0);
});

// The step the page's install has come to: 0 backup, 1 install, 2 restore.
EM_JS(void, web_step, (int step), {
    if (Module.onStep) Module.onStep(step);
});

namespace {

// As tarvo-backup prints off a terminal: one dot per this many bytes.
constexpr uint64_t DOT_BYTES = 16384;

// The backup's reads take a small share of the install's time over USB.
constexpr double BACKUP_SHARE = 0.15;
// A connection that failed part way is tried again this often before the
// restore is given up: an unplugged port fails each try at once.
constexpr int RECONNECT_TRIES = 3;
constexpr unsigned RECONNECT_PAUSE_MS = 500;

int installStatus(guarded::Outcome outcome)
{
    switch (outcome) {
    case guarded::Outcome::Installed:
        return WEB_INSTALL_INSTALLED;
    case guarded::Outcome::BackupFailed:
        return WEB_INSTALL_BACKUP_FAILED;
    case guarded::Outcome::Restored:
        return WEB_INSTALL_RESTORED;
    case guarded::Outcome::RestoreFailed:
        return WEB_INSTALL_RESTORE_FAILED;
    case guarded::Outcome::NotRestored:
        return WEB_INSTALL_NOT_RESTORED;
    case guarded::Outcome::Stopped:
        return WEB_INSTALL_STOPPED;
    case guarded::Outcome::NotRestarted:
        return WEB_INSTALL_NOT_RESTARTED;
    }
    return WEB_INSTALL_FAILED;
}

}  // namespace

void WebReport::text(const std::string& lines)
{
    fputs(lines.c_str(), stdout);
    fflush(stdout);
}

void WebReport::stepStarted(const std::string& step, uint64_t total)
{
    _total = total;
    _dots = 0;
    printf("%s ", step.c_str());
    stepProgress(0, total);
}

void WebReport::stepProgress(uint64_t done, uint64_t total)
{
    for (; _dots * DOT_BYTES < done; _dots++)
        printf(".");
    fflush(stdout);
    if (_expected)
        web_progress(static_cast<double>(_before + done) / static_cast<double>(_expected), 0);
    else
        web_progress(total ? static_cast<double>(done) / static_cast<double>(total) : 1.0, 0);
}

void WebReport::stepFinished()
{
    _before += _total;
    _total = 0;
    printf("\n");
    fflush(stdout);
}

int webBackup(const std::string& command, const std::string& target, const std::string& portName,
              bool& restarted)
{
    restarted = false;
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectAdapter(samba, factory, true, portName, chipId))
        return WEB_BACKUP_NO_ADAPTER;
    // A save reads everything above the bootloader; the others show each step.
    WebReport report(command == "save" ? device::flashSize(chipId) - device::FIRMWARE_BASE : 0);
    const backup::Options options;
    backup::Outcome outcome;
    if (command == "save")
        outcome = backup::save(samba, chipId, target, options, report);
    else if (command == "verify")
        outcome = backup::verify(samba, chipId, target, options, report);
    else
        outcome = backup::restore(samba, chipId, target, options, report, restarted);
    fflush(stdout);
    switch (outcome) {
    case backup::Outcome::Done:
        return WEB_BACKUP_DONE;
    case backup::Outcome::Differs:
        return WEB_BACKUP_DIFFERS;
    case backup::Outcome::Refused:
        return WEB_BACKUP_REFUSED;
    default:
        return WEB_BACKUP_FAILED;
    }
}

int webInstall(const std::string& dir, const std::string& portName, const std::string& package,
               bool& monitorChanges, bool& lost)
{
    monitorChanges = false;
    lost = false;
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectAdapter(samba, factory, true, portName, chipId))
        return WEB_INSTALL_NO_ADAPTER;
    // A backup for an install that cannot happen would only be a download to wonder about.
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, package.c_str(), false, taken);
    if (take != PackageTake::Taken) {
        fputs(packageTakeText(take, package.c_str()).c_str(), stdout);
        fflush(stdout);
        return WEB_INSTALL_UNFIT;
    }

    // The bar: the backup's reads (each read step counting from 0 again),
    // then the install's blocks; a restore runs a bar of its own.
    const double readTotal = static_cast<double>(device::flashSize(chipId) - device::FIRMWARE_BASE);
    double readBefore = 0, readDone = 0, readStep = 0;
    guarded::Callbacks callbacks;
    callbacks.started = [](guarded::Step step) {
        web_step(static_cast<int>(step));
        if (step == guarded::Step::Restore)
            web_progress(0, 1);
    };
    callbacks.progress = [&](guarded::Step step, uint64_t done, uint64_t total) {
        const double share = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
        if (step == guarded::Step::Backup) {
            if (static_cast<double>(done) < readDone)
                readBefore += readStep;
            readDone = static_cast<double>(done);
            readStep = static_cast<double>(total);
            web_progress(BACKUP_SHARE * std::min(1.0, (readBefore + readDone) / readTotal), 0);
        } else if (step == guarded::Step::Install) {
            web_progress(BACKUP_SHARE + (1 - BACKUP_SHARE) * share, 0);
        } else {
            web_progress(share, 0);
        }
    };
    callbacks.text = [](const std::string& lines) {
        fputs(lines.c_str(), stdout);
        fflush(stdout);
    };
    callbacks.reconnect = [&](Samba& again, uint32_t& id) {
        lost = true;
        for (int i = 0; i < RECONNECT_TRIES; i++) {
            pause_ms(RECONNECT_PAUSE_MS);
            if (probePort(again, factory, portName, true, id) == ProbeResult::Adapter)
                return true;
        }
        return false;
    };
    guarded::Result result;
    try {
        result = guarded::install(samba, chipId, taken, dir, package, callbacks);
    } catch (const std::exception& e) {
        // Not one of the flow's own failures: the state is not known.
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        return WEB_INSTALL_FAILED;
    }
    monitorChanges = result.monitorChanges;
    printf("%s\n", result.detail.c_str());
    fflush(stdout);
    return installStatus(result.outcome);
}
