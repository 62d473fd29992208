// tarvo-backup: the adapter's firmware and settings saved into a directory,
// checked against the adapter, and put back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Samba;

using Bytes = std::vector<uint8_t>;

// The files of a backup directory.
extern const char* const FIRMWARE_FILE;
extern const char* const SETTINGS_FILE;
extern const char* const ADAPTER_FILE;

struct BackupOptions {
    bool force = false;   // replace a backup; restore onto another adapter
};

// Each returns the exit status; monitor failures throw.
int saveBackup(Samba& samba, uint32_t chipId, const std::string& dir, const BackupOptions& options);
int verifyBackup(Samba& samba, uint32_t chipId, const std::string& target,
                 const BackupOptions& options);
// restarted tells whether the adapter was restarted by the firmware install.
int restoreBackup(Samba& samba, uint32_t chipId, const std::string& dir,
                  const BackupOptions& options, bool& restarted);

// --- Files (BackupFiles.cpp).

// A package of the firmware region as read: "VMD" and the adapter's type
// letter, software version from the firmware version word, every hardware
// entry the board version, loaded at the firmware base, hard restart, the
// setting area kept. plainCksum is the adapter's checksum of the region.
Bytes firmwarePackage(const Bytes& region, uint8_t typeLetter, uint16_t boardVersion,
                      uint32_t plainCksum);

// The serial number and board version an adapter.txt names.
struct AdapterIdentity {
    std::string serial;
    uint16_t board = 0;
};
// From the report's "Adapter SN: ..., PCB Ver: 0x...." line; false when
// the text has no such line.
bool parseIdentity(const std::string& text, AdapterIdentity& identity);

std::string pathIn(const std::string& dir, const char* file);

// --- Reading the adapter (Progress.cpp).

// Reads size bytes from addr in pieces with the client's block read,
// showing progress under label.
void readRegion(Samba& samba, const char* label, uint32_t addr, uint32_t size, Bytes& data);
// readRegion, checked against the adapter's own checksum of the range and
// read once more on a difference. False (reported) when it differed twice;
// checksum is the adapter's.
bool readChecked(Samba& samba, const char* label, uint32_t addr, uint32_t size, Bytes& data,
                 uint32_t& checksum);
