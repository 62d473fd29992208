// A whole adapter kept in a folder (its firmware as a package, its setting
// area, and a record of both), checked against the adapter and put back.
// Every program links these; what the user sees goes through a Report, so a
// terminal, a browser page or a batch runner shows it its own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Progress.h"
#include "backup/ChecksumFormula.h"

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
    bool anyType = false;       // verify FILE and restore: an unknown type letter, as tarvo -I
    // save: the maker's package of the firmware the adapter runs, compared
    // with the region read to find a monitor that changes what it is sent.
    std::string makerPackage;
};

// What the user is told, and how a long step is going: the one progress
// sink of every long procedure.
using Report = ::Progress;

enum class Outcome {
    Done,         // saved; verify: everything matches; restored and verified
    Differs,      // verify: the adapter is not what the backup or package holds
    Refused,      // a check failed before the adapter was written (or a save wrote)
    Failed,       // the adapter failed, or a restore failed after its first erase
    Interrupted,  // stopRequested ended it
};

// Each reports through report; the adapter's boot monitor failing throws
// SambaError (a restore names the adapter's state first). chipId is the
// connected adapter's chip. The tarvo actions that restore reuses (-u's
// writing, -f's install) print their progress on standard output, as in tarvo.
Outcome save(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
             Report& report);
// What verify found, region by region, for a caller that shows it its own way.
struct Verdicts {
    enum class State { NotCompared, Matches, Differs };
    State firmware = State::NotCompared;
    State settings = State::NotCompared;  // a package holds no settings to compare
    size_t settingsDiffer = 0;            // bytes, when the settings differ
};

// target is a backup folder, or a package file that tarvo -f would take from.
// verdicts, when given, gets each region's finding as it is reported.
Outcome verify(Samba& samba, uint32_t chipId, const std::string& target, const Options& options,
               Report& report, Verdicts* verdicts = nullptr);
// restarted tells whether the restore restarted the adapter (once, after the
// firmware and the settings, or after the firmware failed its verification
// twice), after which its monitor answers no more on this connection.
Outcome restore(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
                Report& report, bool& restarted);

// --- Reading the adapter (BackupRead.cpp).

enum class Read { Ok, Unreliable, Stopped };

// What one connection has learned of how the adapter sums: the formulas
// that every answer so far matched over what was read. Until one matched,
// all are possible and none is relied on; once none matched, none is.
struct ReadSession {
    checksum::FormulaSet known = checksum::ALL;
    // An answer matched: known is what this adapter confirmed, and a read
    // its answer does not match is a spoiled read.
    bool vouched = false;
};

// Reads the range once and asks the adapter for its checksum of it; when
// the answer is what a formula still known gives over the bytes, the read
// is confirmed and the session keeps only the formulas that matched.
// Otherwise every piece is read again until two reads agree (a piece that
// differs is read again), and the answer is compared once more. Unreliable
// (reported) when no two reads of a piece agreed, or when two alike still
// do not give what the adapter's confirmed formula answers.
Read readChecked(Samba& samba, ReadSession& session, Report& report, const std::string& label,
                 uint32_t addr, uint32_t size, Bytes& data, uint32_t& checksum);
// The firmware region, then the setting area, as readChecked reads each.
Read readRegions(Samba& samba, ReadSession& session, Report& report, uint32_t chipId,
                 Bytes& firmware, uint32_t& firmwareChecksum, Bytes& settings,
                 uint32_t& settingsChecksum);
// The adapter's report lines; version gets the monitor's text from the first.
std::string adapterReport(Samba& samba, uint32_t chipId, std::string& version);

// --- The record and the files (BackupRecord.cpp).

// What adapter.txt records, beside the information report it starts with.
struct Record {
    uint32_t chipId = 0;
    uint32_t flashSize = 0;
    std::string serial;           // the eight characters as the report shows them
    uint32_t serialWords[2] = {}; // the words at 0xFF8 and 0xFFC, compared exactly
    uint16_t board = 0;
    uint8_t type = 0;             // the identity word's type letter
    uint32_t firmwareChecksum = 0;  // the adapter's, of the firmware region
    uint32_t settingsChecksum = 0;  // the adapter's, of the setting area
    struct File {
        uint64_t size = 0;
        std::string sha256;  // 64 lower-case hexadecimal digits
    };
    File firmware, settings;
    std::string version;          // the bootloader's version text ("" in a record without it)
    // The save found a monitor that changes what it is sent: a restore puts
    // the settings back and refuses the firmware.
    bool monitorChanges = false;
    // How the save's reads were checked: whether the record says it (records
    // written before do not), and the formulas the adapter's checksum
    // confirmed over both regions (none: each region was read twice alike).
    bool checksumNoted = false;
    checksum::FormulaSet checksumFormulas = 0;
};

// Adapter-sent text as a record line holds it: printable ASCII as it is, any
// other byte and the backslash as \xNN, so that no line break or field of
// the adapter's making gets into the record. unescapeText reads it back; an
// escape it does not know stays as it is (records written before plain).
std::string escapeText(const std::string& text);
std::string unescapeText(const std::string& text);

// The record's lines (human-readable "Name: value" lines) after report,
// which recordReport makes.
std::string recordText(const Record& record, const std::string& report, const std::string& saved);
// False with what is missing when the text lacks a field or has it malformed.
// The record's own fields follow the report, and the last line of a name is
// taken: a record written before the escaping may hold one in the report.
bool parseRecord(const std::string& text, Record& record, std::string& missing);

// A package of the firmware region as read: "VMD" and the adapter's type
// letter, software version from the firmware version word, every hardware
// entry the board version, loaded at the firmware base, hard restart, the
// setting area kept. plainCksum is the adapter's checksum of the region.
Bytes firmwarePackage(const Bytes& region, uint8_t typeLetter, uint16_t boardVersion,
                      uint32_t plainCksum);

std::string pathIn(const std::string& dir, const char* file);

// The current time in UTC through strftime's format, as records and folder
// names show it.
std::string utcTime(const char* strftimeFormat);

}  // namespace backup
