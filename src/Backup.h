// A whole adapter kept in a folder (its firmware as a package, its setting
// area, and a record of both), checked against the adapter and put back.
// Every program links these; what the user sees goes through a BackupReport,
// so a terminal, a browser page or a batch runner shows it its own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Samba;

namespace backup {

using Bytes = std::vector<uint8_t>;

// The files of a backup folder.
extern const char* const FIRMWARE_FILE;
extern const char* const SETTINGS_FILE;
extern const char* const RECORD_FILE;

struct Options {
    bool replace = false;       // save: replace the backup the folder holds
    bool otherAdapter = false;  // restore: onto another serial number or board version
    bool anyType = false;       // verify and restore: an unknown type letter, as tarvo -I
};

// What the user is told, and how a long step is going. Each call comes from
// the thread running the procedure.
class Report {
public:
    virtual ~Report() = default;
    // One or more whole lines, each ending in '\n'.
    virtual void text(const std::string& lines) = 0;
    // A step that moves total bytes (a region read): started, then done bytes
    // so far (rising to total), then finished, also when it fails.
    virtual void stepStarted(const std::string& step, uint64_t total) = 0;
    virtual void stepProgress(uint64_t done, uint64_t total) = 0;
    virtual void stepFinished() = 0;
    // Asked between blocks: true stops the procedure where the adapter is
    // left in a state it can name.
    virtual bool stopRequested() { return false; }
};

enum class Outcome {
    Done,         // saved; verify: everything matches; restored and verified
    Differs,      // verify: the adapter is not what the backup or package holds
    Refused,      // a check failed; the adapter was not written
    Failed,       // a failure after something was written (restore), or of the adapter
    Interrupted,  // stopRequested ended it
};

// Each reports through report; the adapter's boot monitor failing throws
// SambaError. chipId is the connected adapter's chip.
Outcome save(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
             Report& report);
// target is a backup folder, or a package file that tarvo -f would take from.
Outcome verify(Samba& samba, uint32_t chipId, const std::string& target, const Options& options,
               Report& report);
// restarted tells whether the firmware install restarted the adapter, after
// which its monitor answers no more on this connection.
Outcome restore(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
                Report& report, bool& restarted);

// --- Reading the adapter (BackupRead.cpp).

// Reads size bytes from addr with the client's block read, reporting the
// step as label.
void readRegion(Samba& samba, Report& report, const std::string& label, uint32_t addr,
                uint32_t size, Bytes& data);
// Reads the range so that every piece came back alike from two reads (a
// piece that differs is read again), knowing nothing of how the adapter
// sums; then asks the adapter for its checksum of the range. False
// (reported) when a piece came back different each time.
bool readChecked(Samba& samba, Report& report, const std::string& label, uint32_t addr,
                 uint32_t size, Bytes& data, uint32_t& checksum);

// --- Files (BackupRecord.cpp).

// A package of the firmware region as read: "VMD" and the adapter's type
// letter, software version from the firmware version word, every hardware
// entry the board version, loaded at the firmware base, hard restart, the
// setting area kept. plainCksum is the adapter's checksum of the region.
Bytes firmwarePackage(const Bytes& region, uint8_t typeLetter, uint16_t boardVersion,
                      uint32_t plainCksum);

// The serial number and board version a record names.
struct RecordIdentity {
    std::string serial;
    uint16_t board = 0;
};
// From the report's "Adapter SN: ..., PCB Ver: 0x...." line; false when
// the text has no such line.
bool parseIdentity(const std::string& text, RecordIdentity& identity);

std::string pathIn(const std::string& dir, const char* file);

}  // namespace backup
