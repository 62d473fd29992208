// The page's procedures over the chosen port: each tells its progress and
// how it ended as events (WebEvents.h), its lines on standard output for the log.
#pragma once

#include <cstdint>
#include <string>

// Connects and tells the adapter in an "adapter" event.
int webConnect(const std::string& portName);
// What each package of file holds for an adapter of this board, type letter
// and flash size, as "package" events; the outcome "fits", "none-fits" or
// "no-package". No adapter is needed.
int webPackages(const std::string& file, uint16_t board, uint8_t type, uint32_t flash);
// "save" the setting area into file, or "restore" it from file.
int webSettings(const std::string& command, const std::string& file, const std::string& portName);
// tarvo-backup's command ("save", "verify" or "restore") on target.
int webBackup(const std::string& command, const std::string& target, const std::string& portName);
// tarvo-backup's check, read-only: its finding as the outcome ("restores",
// "changes", "other-package" or "unknown"), the answer as its text, and the
// report to share (no serial number) as "report".
int webCheck(const std::string& package, const std::string& portName);
// Installs the first package in the file package that fits, backed up into
// the empty folder dir first and put back from it when the install does not
// verify, all over one connection.
int webInstall(const std::string& dir, const std::string& portName, const std::string& package);
