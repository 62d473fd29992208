// An install that keeps the adapter as it was first and puts it back when
// the new firmware does not verify, restarting the adapter once in all: a
// real boot monitor may answer nothing after a restart, so everything that
// needs it happens before. Programs show the steps their own way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "FirmwareInstall.h"

class Samba;

namespace guarded {

// The serial number as part of a folder name: only A-Z, a-z, 0-9, ".", "_"
// and "-" stay, every other byte is %XX, and it is never "." or "..".
std::string serialPart(const std::string& serial);
// Makes base (as far as it is missing) and in it a new, empty folder for
// this adapter's backup, SERIAL-TIME, or SERIAL-TIME-2, -3 ... when another
// install holds that name; made is its path. False with why.
bool makeBackupFolder(const std::string& base, const std::string& serial,
                      const std::string& time, std::string& made, std::string& error);
// The folder makeBackupFolder would make now, without making it.
std::string freeBackupFolder(const std::string& base, const std::string& serial,
                             const std::string& time);

enum class Step { Backup, Install, Restore };

struct Callbacks {
    std::function<void(Step)> started;
    // A part of the step begun: the backup's reads ("firmware", "settings"),
    // the install's phase::WRITE, CHECK and RESTART, with its bytes.
    std::function<void(Step, const std::string& phase, uint64_t total)> phase;
    // That part ended, also when it failed: the next one starts after it.
    std::function<void(Step)> phaseFinished;
    // Bytes so far of the backup's reads and of the install's writing; the
    // restore's blocks.
    std::function<void(Step, uint64_t done, uint64_t total)> progress;
    // The backup's and the restore's messages, whole lines.
    std::function<void(const std::string& lines)> text;
    // Asked between blocks of the install; once true it stays true.
    std::function<bool()> stop;
    // Connects samba to the same adapter again after the connection failed
    // part way (setting chipId); false when it did not come back.
    std::function<bool(Samba& samba, uint32_t& chipId)> reconnect;
};

enum class Outcome {
    Installed,     // verified and restarted
    BackupFailed,  // the backup was refused, failed or stopped: nothing erased
    Restored,      // the install failed; the backup is back, restarted once
    RestoreFailed, // the install failed and so did its restore
    NotRestored,   // the install failed; the monitor changes what it receives
    Stopped,       // stop ended the install part way; not restarted
    NotRestarted,  // verified, but the adapter failed before its restart
};

struct Result {
    Outcome outcome = Outcome::BackupFailed;
    // The monitor stores other bytes than it is sent (as a monitor that
    // decodes its maker's packages does): a backup's firmware cannot go back.
    bool monitorChanges = false;
    std::string restore;  // "", "ok" or "failed"
    std::string detail;   // one line: what happened, and what to do next
};

// Backs the connected adapter up into dir (a fresh empty folder, removed
// again when no backup went in), installs taken and verifies it, and on a
// failed verification restores the backup on the same connection. The
// adapter's port is never let go between them; only a failed connection
// reconnects. package names the file taken, for what the shop is told.
Result install(Samba& samba, uint32_t chipId, const TakenPackage& taken, const std::string& dir,
               const std::string& package, const Callbacks& callbacks);

}  // namespace guarded
