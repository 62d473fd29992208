// A read-only look at whether an adapter's backups can come back: which
// checksum formula its boot monitor answers with, and whether the monitor
// stores a firmware image exactly as it receives it. Both are the adapter
// firmware's own business, so they are found out, never assumed. Nothing
// here erases or writes the adapter.
#pragma once

#include <cstdint>
#include <string>

#include "backup/Backup.h"
#include "backup/ChecksumFormula.h"

class Samba;

namespace backup {

enum class Finding {
    Restores,      // the flash is the package's payload byte for byte
    Changes,       // the package the adapter runs is not what its flash holds
    OtherPackage,  // the package is not the firmware the adapter runs
    Unknown,       // no package given, or the adapter or the package could not be read
};

// The firmware region (its bytes read) against the maker's package of the
// firmware the adapter runs, the version words telling which. One checksum
// command at most; nothing else is sent.
struct PackageComparison {
    Finding finding = Finding::Unknown;
    std::string text;  // one or more whole lines saying what was found and how to tell
};
PackageComparison compareWithPackage(Samba& samba, uint32_t chipId, const Bytes& region,
                                     const std::string& packageFile, bool anyType);

struct CheckResult {
    Finding finding = Finding::Unknown;
    uint32_t chipId = 0;
    uint16_t board = 0;
    uint8_t type = 0;
    std::string serial;         // as the adapter sent it: escape before showing
    std::string version;        // the bootloader's version text, likewise
    uint32_t firmwareWord = 0;  // the firmware version word (settings base less 16)
    uint32_t firmwareAnswer = 0, settingsAnswer = 0;  // the adapter's checksums
    checksum::FormulaSet firmwareFormulas = 0, settingsFormulas = 0;  // formulas matching them
    std::string answer;         // the finding in words, as the check printed it
};

// Identifies the adapter, reads the firmware region and the setting area
// (as a save reads them), names the formula, and with packageFile ("" for
// none) compares the flash with its payload. Reports as it goes; a stop
// request or an unreliable read ends in Unknown. The page and the station
// call this too.
CheckResult checkAdapter(Samba& samba, uint32_t chipId, const std::string& packageFile,
                         bool anyType, Report& report);

// 0 restores as far as can be known, 1 cannot, 3 could not tell.
int checkExitStatus(Finding finding);

// The findings as a short text to attach to a bug report; the serial number
// only when asked for. Adapter-sent text is escaped.
std::string checkReportText(const CheckResult& result, bool withSerial);

}  // namespace backup
