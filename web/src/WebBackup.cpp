#include "WebBackup.h"

#include <emscripten.h>

#include <cstdio>

#include "Device.h"
#include "FirmwareInstall.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"
#include "WebPortFactory.h"

// The page's progress bar: share of the work done, 0 to 1.
EM_JS(void, web_progress, (double share), {
    if (Module.onProgress) Module.onProgress(share);
});

namespace {

// As tarvo-backup prints off a terminal: one dot per this many bytes.
constexpr uint64_t DOT_BYTES = 16384;

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
        web_progress(static_cast<double>(_before + done) / static_cast<double>(_expected));
    else
        web_progress(total ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
}

void WebReport::stepFinished()
{
    _before += _total;
    _total = 0;
    printf("\n");
    fflush(stdout);
}

int webBackup(const std::string& command, const std::string& target, const std::string& portName,
              const std::string& package, bool& restarted)
{
    restarted = false;
    WebPortFactory factory(portName);
    Samba samba;
    uint32_t chipId = 0;
    if (!connectAdapter(samba, factory, true, portName, chipId))
        return WEB_BACKUP_NO_ADAPTER;
    // A backup for an install that cannot happen would only be a download to wonder about.
    if (command == "save" && !package.empty()) {
        TakenPackage taken;
        const PackageTake take = takePackage(samba, chipId, package.c_str(), false, taken);
        if (take != PackageTake::Taken) {
            fputs(packageTakeText(take, package.c_str()).c_str(), stdout);
            fflush(stdout);
            return WEB_BACKUP_UNFIT;
        }
    }
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
