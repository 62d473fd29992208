// How the page shows a backup procedure: its lines in the log, as
// tarvo-backup prints them off a terminal (a dot per 16 KB read), and how far
// the reading has come for the progress bar.
#pragma once

#include <cstdint>
#include <string>

#include "Backup.h"

class WebReport : public backup::Report {
public:
    // expected is how many bytes the whole procedure reads (0: each step
    // counts on its own).
    explicit WebReport(uint64_t expected) : _expected(expected) {}

    void text(const std::string& lines) override;
    void stepStarted(const std::string& step, uint64_t total) override;
    void stepProgress(uint64_t done, uint64_t total) override;
    void stepFinished() override;

private:
    uint64_t _expected;
    uint64_t _before = 0;  // bytes of the steps finished
    uint64_t _total = 0;   // of the running step
    uint64_t _dots = 0;
};

// Runs tarvo-backup's command ("save", "verify" or "restore") on target over
// the chosen port; the status tells the page how it ended.
enum WebBackupStatus {
    WEB_BACKUP_DONE = 0,
    WEB_BACKUP_NO_ADAPTER = 1,  // also: the boot monitor failed (reported)
    WEB_BACKUP_DIFFERS = 2,
    WEB_BACKUP_REFUSED = 3,     // nothing was written
    WEB_BACKUP_FAILED = 4,      // after the first erase (restore), or the adapter failed
};
int webBackup(const std::string& command, const std::string& target, const std::string& portName,
              bool& restarted);

// How the page's install ended: one per guarded::Outcome, and the failures
// before it.
enum WebInstallStatus {
    WEB_INSTALL_INSTALLED = 0,       // verified and restarted
    WEB_INSTALL_NO_ADAPTER = 1,      // nothing was read or erased (reported)
    WEB_INSTALL_FAILED = 4,          // failed part way; what the adapter holds is not known
    WEB_INSTALL_UNFIT = 5,           // no package in the file fits; nothing was read
    WEB_INSTALL_BACKUP_FAILED = 6,   // nothing was erased
    WEB_INSTALL_RESTORED = 7,        // the install failed; the backup is back, restarted
    WEB_INSTALL_RESTORE_FAILED = 8,  // the install failed and so did its restore
    WEB_INSTALL_NOT_RESTORED = 9,    // the install failed; the monitor changes what it receives
    WEB_INSTALL_STOPPED = 10,        // stopped part way; not restarted
    WEB_INSTALL_NOT_RESTARTED = 11,  // verified, but the adapter failed before its restart
};
// Installs the first package in the file package that fits, backed up into
// the empty folder dir first and put back from it when the install does not
// verify, all over one connection. monitorChanges tells whether the monitor
// stores other bytes than it is sent (its firmware cannot go back from a
// backup), lost whether the connection failed part way.
int webInstall(const std::string& dir, const std::string& portName, const std::string& package,
               bool& monitorChanges, bool& lost);
