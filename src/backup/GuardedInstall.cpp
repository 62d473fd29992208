#include "backup/GuardedInstall.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "backup/Backup.h"
#include "Device.h"
#include "FirmwarePackage.h"
#include "Progress.h"
#include "SambaXcon.h"

namespace fs = std::filesystem;

namespace guarded {

namespace {

// Tried as SERIAL-TIME-2 up to this; more installs of one serial number
// in one second are not a shop's.
constexpr int MAX_SUFFIX = 1000;

std::string folderPath(const std::string& base, const std::string& stem, int n)
{
    return (fs::path(base) / (n > 1 ? stem + "-" + std::to_string(n) : stem)).string();
}

// The procedures' progress, handed to the callbacks; the last line it said
// is why a procedure failed.
class StepReport : public Progress {
public:
    StepReport(const Callbacks& callbacks, Step step) : _callbacks(callbacks), _step(step) {}

    void text(const std::string& lines) override
    {
        if (_callbacks.text)
            _callbacks.text(lines);
        size_t end = lines.size();
        while (end > 0 && (lines[end - 1] == '\n' || lines[end - 1] == '\r'))
            end--;
        if (end == 0)
            return;
        const size_t start = lines.rfind('\n', end - 1);
        _last = lines.substr(start == std::string::npos ? 0 : start + 1,
                             end - (start == std::string::npos ? 0 : start + 1));
    }
    void stepStarted(const std::string& step, uint64_t total) override
    {
        if (_callbacks.phase)
            _callbacks.phase(_step, step, total);
        _shown = _blocks == 0 && (_step != Step::Install || step == phase::WRITE);
    }
    void stepProgress(uint64_t done, uint64_t total) override
    {
        if (_shown && _callbacks.progress)
            _callbacks.progress(_step, done, total);
    }
    void stepFinished() override
    {
        _shown = false;
        if (_callbacks.phaseFinished)
            _callbacks.phaseFinished(_step);
    }
    bool stopRequested() override
    {
        // The restore's own install prints as tarvo does: the blocks it asks
        // between are its progress.
        if (_blocks > 0 && _callbacks.progress)
            _callbacks.progress(_step, std::min(_asked++, _blocks), _blocks);
        return _callbacks.stop && _callbacks.stop();
    }

    void countBlocks(uint64_t blocks) { _blocks = blocks; }
    void finished()
    {
        if (_blocks > 0 && _callbacks.progress)
            _callbacks.progress(_step, _blocks, _blocks);
    }
    const std::string& lastLine() const { return _last; }

private:
    const Callbacks& _callbacks;
    Step _step;
    std::string _last;
    bool _shown = false;
    uint64_t _blocks = 0;
    uint64_t _asked = 0;
};

// The backup put back; its install restarts the adapter once at its end.
Result restoreBackup(Samba& samba, uint32_t chipId, const std::string& dir,
                     const std::string& failure, const Callbacks& callbacks)
{
    if (callbacks.started)
        callbacks.started(Step::Restore);
    StepReport report(callbacks, Step::Restore);
    // The settings' blocks, then the firmware's.
    std::error_code ec;
    const uintmax_t size = fs::file_size(backup::pathIn(dir, backup::FIRMWARE_FILE), ec);
    if (!ec && size > package::HEADER_SIZE)
        report.countBlocks(device::SETTINGS_SIZE / device::BLOCK_SIZE +
                           (size - package::HEADER_SIZE) / device::BLOCK_SIZE);
    Result result;
    std::string why;
    try {
        bool restarted = false;
        const backup::Outcome restored =
            backup::restore(samba, chipId, dir, backup::Options(), report, restarted);
        if (restored == backup::Outcome::Done) {
            report.finished();
            result.outcome = Outcome::Restored;
            result.restore = "ok";
            result.detail = failure + "; the backup was restored";
            return result;
        }
        why = report.lastLine();
    } catch (const std::exception& e) {
        why = e.what();
    }
    result.outcome = Outcome::RestoreFailed;
    result.restore = "failed";
    result.detail = failure + "; restoring the backup failed" + (why.empty() ? "" : " (" + why + ")") +
                    ": the firmware may be incomplete, restore " + dir +
                    " with tarvo-backup restore (the bootloader is untouched)";
    return result;
}

// The connection failed part way: the adapter is found again first.
Result reconnectAndRestore(Samba& samba, const std::string& dir, const std::string& failure,
                           const Callbacks& callbacks)
{
    samba.disconnect();
    uint32_t chipId = 0;
    if (!callbacks.reconnect || !callbacks.reconnect(samba, chipId)) {
        Result result;
        result.outcome = Outcome::RestoreFailed;
        result.restore = "failed";
        result.detail = failure + "; the adapter did not answer again, so the backup was not "
                                  "restored: the firmware may be incomplete, restore " +
                        dir + " with tarvo-backup restore (the bootloader is untouched)";
        return result;
    }
    return restoreBackup(samba, chipId, dir, failure, callbacks);
}

}  // namespace

std::string serialPart(const std::string& serial)
{
    std::string part;
    for (unsigned char c : serial) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (kept) {
            part += static_cast<char>(c);
        } else {
            char code[4];
            snprintf(code, sizeof(code), "%%%02X", c);
            part += code;
        }
    }
    if (part == "." || part == "..")
        part = part == "." ? "%2E" : "%2E%2E";
    return part;
}

bool makeBackupFolder(const std::string& base, const std::string& serial,
                      const std::string& time, std::string& made, std::string& error)
{
    std::error_code ec;
    // Every worker of a run makes it; the ones that lose find it there.
    fs::create_directories(base, ec);
    const std::string stem = serialPart(serial) + "-" + time;
    for (int n = 1; n <= MAX_SUFFIX; n++) {
        const std::string path = folderPath(base, stem, n);
        // Made here or not at all: a name that is there belongs to another.
        if (fs::create_directory(path, ec)) {
            made = path;
            return true;
        }
        if (ec && ec != std::errc::file_exists) {
            error = "cannot make the backup folder " + path + ": " + ec.message();
            return false;
        }
    }
    error = "cannot make the backup folder " + folderPath(base, stem, 1) + ": every name is taken";
    return false;
}

std::string freeBackupFolder(const std::string& base, const std::string& serial,
                             const std::string& time)
{
    const std::string stem = serialPart(serial) + "-" + time;
    for (int n = 1; n <= MAX_SUFFIX; n++) {
        std::error_code ec;
        const std::string path = folderPath(base, stem, n);
        if (!fs::exists(fs::symlink_status(path, ec)))
            return path;
    }
    return folderPath(base, stem, 1);
}

Result install(Samba& samba, uint32_t chipId, const TakenPackage& taken, const std::string& dir,
               const std::string& package, const Callbacks& callbacks)
{
    Result result;
    // Nothing is erased unless the adapter as it was is kept first.
    if (callbacks.started)
        callbacks.started(Step::Backup);
    {
        StepReport report(callbacks, Step::Backup);
        backup::Outcome saved = backup::Outcome::Failed;
        std::string why;
        try {
            saved = backup::save(samba, chipId, dir, backup::Options(), report);
            why = report.lastLine();
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (saved != backup::Outcome::Done) {
            std::error_code ec;
            fs::remove(dir, ec);  // only when empty: a backup is never removed
            result.outcome = Outcome::BackupFailed;
            result.detail = std::string(saved == backup::Outcome::Interrupted ? "backup stopped"
                                                                              : "backup failed") +
                            "; nothing was erased" + (why.empty() ? "" : ": " + why);
            return result;
        }
    }

    if (callbacks.started)
        callbacks.started(Step::Install);
    StepReport report(callbacks, Step::Install);
    InstallOptions options;
    options.restart = false;
    options.progress = &report;
    Install installed = Install::Differs;
    try {
        installed = installPackage(samba, taken, options);
    } catch (const std::exception& e) {
        return reconnectAndRestore(samba, dir, e.what(), callbacks);
    }

    if (installed == Install::Stopped) {
        result.outcome = Outcome::Stopped;
        result.detail = "stopped during the install: the adapter holds no complete firmware and "
                        "stays in its boot monitor (the bootloader is untouched); restore " +
                        dir + " with tarvo-backup restore";
        return result;
    }

    // Still in the monitor: flash read back tells whether it stores what it
    // is sent, which a backup's firmware needs.
    const std::string changes = "this adapter's boot monitor changes the firmware it receives "
                                "(its backups cannot put firmware back)";
    if (installed == Install::Verified) {
        try {
            result.monitorChanges = !firstBlockMatches(samba, taken);
            restartAdapter(samba, taken, &report);
        } catch (const std::exception& e) {
            result.outcome = Outcome::NotRestarted;
            result.detail = std::string("installed and verified, but the adapter failed before "
                                        "its restart (") +
                            e.what() + "): unplug it and plug it in again";
            return result;
        }
        result.outcome = Outcome::Installed;
        result.detail = result.monitorChanges
                            ? "installed and verified; " + changes + ": keep the maker's package " +
                                  package
                            : "installed and verified";
        return result;
    }

    const std::string failure = "verification failed";
    try {
        result.monitorChanges = !firstBlockMatches(samba, taken);
    } catch (const std::exception& e) {
        return reconnectAndRestore(samba, dir, failure + ", then " + e.what(), callbacks);
    }
    if (result.monitorChanges) {
        // Left in its boot monitor, where tarvo -f reaches it.
        result.outcome = Outcome::NotRestored;
        result.detail = failure + "; " + changes + ": no restore was tried; reinstall the " +
                        "maker's package with tarvo -f " + package +
                        " (the adapter stays in its boot monitor; the bootloader is untouched)";
        return result;
    }
    return restoreBackup(samba, chipId, dir, failure, callbacks);
}

}  // namespace guarded
