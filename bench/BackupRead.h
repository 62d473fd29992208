// tarvo-backup save under the real adapter's model, held against what one
// read of the firmware region and the setting area needs: a monitor whose
// checksum vouches for a read is read once, one that cannot is read twice.
#pragma once

#include <string>
#include <vector>

#include "Table.h"
#include "Verdict.h"

// The save against one read's bound: at most this ratio.
constexpr double ONE_READ_TARGET = 1.1;

// Adds its section's rows and checks; quick leaves out the UART link.
void backupReadRows(Table& table, std::vector<Check>& checks, const std::string& workDir,
                    bool quick);
