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
    WEB_BACKUP_UNFIT = 5,       // the package to install takes nothing here; nothing was read
};
// For a save before an install, package names the package file: it is taken
// as tarvo -f takes it first, and when none in it fits, tarvo -f's line is
// printed and nothing is saved.
int webBackup(const std::string& command, const std::string& target, const std::string& portName,
              const std::string& package, bool& restarted);
