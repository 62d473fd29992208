// The two halves of a firmware install, for the programs that check more
// before the erase than tarvo -f does (a backup restore): taking the package
// a file holds for the adapter, and installing a package taken.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FirmwareCheck.h"

class Progress;
class Samba;

enum class PackageTake {
    Taken,
    UnknownType,      // the adapter's type letter is not a known one (and no force)
    CannotOpen,       // the file cannot be opened
    NoneFits,         // the walk found no valid, fitting package
    ImageIncomplete,  // the package's setting image is cut short
};

struct TakenPackage {
    PackageTarget target{};
    // The package, header to the end of its setting image, checked in memory.
    std::vector<uint8_t> bytes;
    // Its fields from the package record, which other actions reuse meanwhile.
    uint32_t loadAddr = 0;
    uint32_t total = 0;
    uint32_t plainCksum = 0;
    uint8_t warmReset = 0;
    uint8_t handling = 0;
};

// The type gate, the walk and the in-memory check of tarvo -f.
PackageTake takePackage(Samba& samba, uint32_t chipId, const char* file, bool force,
                        TakenPackage& taken);
// What tarvo -f prints for a take that failed.
std::string packageTakeText(PackageTake take, const char* file);

enum class Install {
    Verified,  // written, matched the plain checksum
    Differs,   // written, did not match
    Stopped,   // stop said so between blocks: erased, partly written, not restarted
    Changed,   // the first block read back is not what was sent: stopped after it
};

struct InstallOptions {
    std::function<bool()> stop;  // asked before each block (none: never stops)
    // Restart after the verification, whatever it says (tarvo -f). Without,
    // the monitor still answers, so a caller can put a backup back first and
    // restart once with restartAdapter.
    bool restart = true;
    // Read the first block back before streaming the rest, and stop when it
    // is not what was sent: a monitor that changes what it receives cannot
    // take a firmware image read from flash.
    bool stopIfChanged = false;
    // Told the steps (write, check, restart) and their text; none: printed
    // on standard output as tarvo -f prints them.
    Progress* progress = nullptr;
};

// Erases, streams, verifies and (as options say) restarts, telling
// options.progress, with the package record set from taken again.
Install installPackage(Samba& samba, const TakenPackage& taken, const InstallOptions& options);
// tarvo -f's install: restarted whatever the verification says.
Install installPackage(Samba& samba, const TakenPackage& taken,
                       const std::function<bool()>& stop = {}, Progress* progress = nullptr);
// The restart an install ends with, as the package asks for it.
void restartAdapter(Samba& samba, const TakenPackage& taken, Progress* progress = nullptr);
// Whether the first block of flash holds what the package sent there (one
// block read back); the monitor must not have been restarted since.
bool firstBlockMatches(Samba& samba, const TakenPackage& taken);
