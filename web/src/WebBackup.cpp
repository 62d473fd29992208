#include "WebBackup.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "AdapterIdentity.h"
#include "fleet/AdapterSelect.h"
#include "backup/AdapterCheck.h"
#include "backup/Backup.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "backup/GuardedInstall.h"
#include "Pause.h"
#include "SambaXcon.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"
#include "WebEvents.h"
#include "WebPortFactory.h"

// What the page does with the backup before the install may erase (keeping
// it in the browser's storage) is finished first: Module.settle, when the
// page set one in its step handler.
EM_ASYNC_JS(void, web_page_settled, (), {
    const settle = Module.settle;
    Module.settle = null;
    if (settle) {
        try {
            await settle;
        } catch (e) {
            // A backup the browser did not keep is the page's to tell.
        }
    }
});

namespace {

// A connection that failed part way is tried again this often before the
// restore is given up: an unplugged port fails each try at once.
constexpr int RECONNECT_TRIES = 3;
constexpr unsigned RECONNECT_PAUSE_MS = 500;

const char* installKind(guarded::Outcome outcome)
{
    switch (outcome) {
    case guarded::Outcome::Installed:
        return "installed";
    case guarded::Outcome::BackupFailed:
        return "backup-failed";
    case guarded::Outcome::Restored:
        return "restored";
    case guarded::Outcome::RestoreFailed:
        return "restore-failed";
    case guarded::Outcome::NotRestored:
        return "not-restored";
    case guarded::Outcome::Stopped:
        return "stopped";
    case guarded::Outcome::NotRestarted:
        return "not-restarted";
    }
    return "failed";
}

const char* takeKind(PackageTake take)
{
    switch (take) {
    case PackageTake::Taken:
        break;
    case PackageTake::UnknownType:
        return "unknown-type";
    case PackageTake::CannotOpen:
        return "cannot-open";
    case PackageTake::NoneFits:
        return "none-fits";
    case PackageTake::ImageIncomplete:
        return "image-incomplete";
    }
    return "taken";
}

const char* backupKind(backup::Outcome outcome)
{
    switch (outcome) {
    case backup::Outcome::Done:
        return "done";
    case backup::Outcome::Differs:
        return "differs";
    case backup::Outcome::Refused:
        return "refused";
    case backup::Outcome::Failed:
        return "failed";
    case backup::Outcome::Interrupted:
        return "stopped";
    }
    return "failed";
}

const char* findingKind(backup::Finding finding)
{
    switch (finding) {
    case backup::Finding::Restores:
        return "restores";
    case backup::Finding::Changes:
        return "changes";
    case backup::Finding::OtherPackage:
        return "other-package";
    case backup::Finding::Unknown:
        break;
    }
    return "unknown";
}

// A connection to the named port's adapter, told as an outcome when there is none.
bool connectNamed(Samba& samba, WebPortFactory& factory, const std::string& portName,
                  uint32_t& chipId)
{
    if (!samba.connect(factory.create(portName, true), 115200)) {
        fprintf(stderr, "No device found on %s\n", portName.c_str());
        sendOutcome("no-adapter", "No device found on " + portName);
        return false;
    }
    chipId = samba.chipId();
    if (!device::isSupportedChip(chipId)) {
        char text[64];
        snprintf(text, sizeof(text), "ID %08x is not supported", chipId);
        fprintf(stderr, "Hardware failuser, %s\n", text);
        sendOutcome("not-supported", text);
        return false;
    }
    return true;
}

}  // namespace

int webConnect(const std::string& portName)
{
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectNamed(samba, factory, portName, chipId))
        return 1;
    const std::string bootloader = samba.version();
    const AdapterIdentity id = readIdentity(samba);
    const uint32_t fwVersion = samba.readWord(device::settingsBase(chipId) - 16);
    WebEvent("adapter")
        .adapterText("serial", id.serial)
        .adapterText("type", std::string(1, static_cast<char>(id.type)))
        .number("typeCode", id.type)
        .number("board", id.board)
        .number("firmware", fwVersion & 0xFFFF)
        .adapterText("bootloader", bootloader)
        .number("chip", chipId)
        .number("flash", device::flashSize(chipId))
        .send();
    sendOutcome("connected");
    return 0;
}

int webPackages(const std::string& file, uint16_t board, uint8_t type, uint32_t flash)
{
    StdFile f(fopen(file.c_str(), "rb"));
    if (!f) {
        sendOutcome("cannot-open", "Failed in opening firmware file " + file);
        return 1;
    }
    const PackageTarget target{flash - device::SETTINGS_SIZE - device::FIRMWARE_BASE, board, type};
    int stopCode = FW_OK;
    const std::vector<PackageSummary> list = listPackages(f.get(), target, stopCode);
    bool fits = false;
    for (const PackageSummary& one : list) {
        std::string boards;
        for (uint16_t entry : one.boards)
            boards += (boards.empty() ? "" : ",") + std::to_string(entry);
        const bool fit = one.boardFits && one.typeFits && one.chipFits;
        // The walk takes the first that fits.
        WebEvent("package")
            .adapterText("type", std::string(1, one.type))
            .number("version", one.version)
            .number("total", one.total)
            .number("handling", one.handling)
            .text("boards", boards)
            .flag("boardFits", one.boardFits)
            .flag("typeFits", one.typeFits)
            .flag("chipFits", one.chipFits)
            .flag("taken", fit && !fits)
            .send();
        fits = fits || fit;
    }
    if (fits)
        sendOutcome("fits");
    else
        sendOutcome(list.empty() ? "no-package" : "none-fits",
                    list.empty() || stopCode != FW_NO_SIGNATURE ? firmwareCheckText(stopCode) : "");
    return fits ? 0 : 1;
}

int webSettings(const std::string& command, const std::string& file, const std::string& portName)
{
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectNamed(samba, factory, portName, chipId))
        return 1;
    EventProgress progress;
    if (command == "save") {
        const bool saved = settingSave(samba, file.c_str(), &progress) == ActionResult::Done;
        sendOutcome(saved ? "done" : "failed", saved ? "" : "Failed to create file " + file);
        return saved ? 0 : 1;
    }
    // The whole image before the erase: a short file leaves the settings as they are.
    std::vector<uint8_t> image(device::SETTINGS_SIZE + 1);
    size_t got = 0;
    {
        StdFile f(fopen(file.c_str(), "rb"));
        if (!f) {
            printf("Failed in opening adapter setting file %s, abort\n", file.c_str());
            sendOutcome("refused", "Failed in opening adapter setting file " + file);
            return 1;
        }
        got = fread(image.data(), 1, image.size(), f.get());
    }
    if (got < device::SETTINGS_SIZE) {
        printf("Adapter setting file %s is shorter than 4096 bytes, abort\n", file.c_str());
        sendOutcome("refused", "Adapter setting file " + file + " is shorter than 4096 bytes");
        return 1;
    }
    switch (writeSettingArea(samba, image.data(), chipId, {}, &progress)) {
    case AreaWrite::Done:
        sendOutcome("done");
        return 0;
    case AreaWrite::Differs:
        sendOutcome("differs", "The settings read back differ from the file");
        return 1;
    case AreaWrite::Stopped:
        break;
    }
    sendOutcome("stopped");
    return 1;
}

int webBackup(const std::string& command, const std::string& target, const std::string& portName)
{
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectNamed(samba, factory, portName, chipId))
        return 1;
    // A save reads everything above the bootloader as one phase; the others show each step.
    EventProgress report(command == "save" ? "backup" : "",
                         command == "save" ? device::flashSize(chipId) - device::FIRMWARE_BASE : 0);
    const backup::Options options;
    backup::Outcome outcome;
    bool restarted = false;
    backup::Verdicts verdicts;
    if (command == "save")
        outcome = backup::save(samba, chipId, target, options, report);
    else if (command == "verify")
        outcome = backup::verify(samba, chipId, target, options, report, &verdicts);
    else
        outcome = backup::restore(samba, chipId, target, options, report, restarted);
    const auto state = [](backup::Verdicts::State found) {
        return found == backup::Verdicts::State::Matches   ? "matches"
               : found == backup::Verdicts::State::Differs ? "differs"
                                                           : "";
    };
    WebEvent("outcome")
        .text("kind", backupKind(outcome))
        .text("text", "")
        .flag("restarted", restarted)
        .text("firmware", state(verdicts.firmware))
        .text("settings", state(verdicts.settings))
        .number("settingsDiffer", verdicts.settingsDiffer)
        .send();
    return outcome == backup::Outcome::Done ? 0 : 1;
}

int webCheck(const std::string& package, const std::string& portName)
{
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectNamed(samba, factory, portName, chipId))
        return 1;
    EventProgress report;
    const backup::CheckResult result = backup::checkAdapter(samba, chipId, package, false, report);
    const std::string answer = result.answer.substr(0, result.answer.find_last_not_of('\n') + 1);
    WebEvent("outcome")
        .text("kind", findingKind(result.finding))
        .text("text", answer)
        .lines("report", backup::checkReportText(result, false))
        .send();
    return backup::checkExitStatus(result.finding);
}

int webInstall(const std::string& dir, const std::string& portName, const std::string& package)
{
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectNamed(samba, factory, portName, chipId))
        return 1;
    // A backup for an install that cannot happen would only be a download to wonder about.
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, package.c_str(), false, taken);
    if (take != PackageTake::Taken) {
        const std::string text = packageTakeText(take, package.c_str());
        fputs(text.c_str(), stdout);
        sendOutcome(takeKind(take), text.substr(0, text.size() - 1));
        return 1;
    }

    // The backup's reads are one phase; the install's steps each their own.
    EventProgress backupSteps("backup", device::flashSize(chipId) - device::FIRMWARE_BASE);
    EventProgress installSteps;
    EventProgress restoreSteps;
    bool lost = false;
    guarded::Callbacks callbacks;
    callbacks.started = [&](guarded::Step step) {
        WebEvent("step").text("step", step == guarded::Step::Backup    ? "backup"
                                      : step == guarded::Step::Install ? "install"
                                                                       : "restore")
            .send();
        if (step == guarded::Step::Install)
            web_page_settled();
        if (step == guarded::Step::Restore)
            restoreSteps.stepStarted("restore", 0);
    };
    callbacks.phase = [&](guarded::Step step, const std::string& name, uint64_t total) {
        if (step == guarded::Step::Backup)
            backupSteps.stepStarted(name, total);
        else if (step == guarded::Step::Install)
            installSteps.stepStarted(name, total);
    };
    // Each read ends before the next begins: the backup's bar goes on from there.
    callbacks.phaseFinished = [&](guarded::Step step) {
        if (step == guarded::Step::Backup)
            backupSteps.stepFinished();
        else if (step == guarded::Step::Install)
            installSteps.stepFinished();
    };
    callbacks.progress = [&](guarded::Step step, uint64_t done, uint64_t total) {
        if (step == guarded::Step::Backup)
            backupSteps.stepProgress(done, total);
        else if (step == guarded::Step::Install)
            installSteps.stepProgress(done, total);
        else  // the restore's blocks, as bytes
            restoreSteps.stepProgress(done * device::BLOCK_SIZE, total * device::BLOCK_SIZE);
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
    // The backup's own read steps finish before the install's begin.
    guarded::Result result;
    try {
        result = guarded::install(samba, chipId, taken, dir, package, callbacks);
    } catch (const std::exception& e) {
        // Not one of the flow's own failures: the state is not known.
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        sendOutcome("failed", e.what());
        return 1;
    }
    printf("%s\n", result.detail.c_str());
    WebEvent("outcome")
        .text("kind", installKind(result.outcome))
        .text("text", result.detail)
        .flag("monitorChanges", result.monitorChanges)
        .flag("lost", lost)
        .number("version", g_sw_ver)
        .send();
    return result.outcome == guarded::Outcome::Installed ? 0 : 1;
}
