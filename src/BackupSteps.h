// What the backup procedures share among themselves.
#pragma once

#include <string>

#include "Backup.h"

namespace backup {

// printf into a string of up to 511 characters.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace backup

class Samba;

namespace backup {

// The package of file that tarvo -f would take for this adapter: the same
// type gate and walk, leaving it in the package record. False (reported)
// when it would take none.
bool takePackage(Samba& samba, uint32_t chipId, const std::string& file, bool anyType,
                 Report& report);

}  // namespace backup
