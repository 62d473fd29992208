// Checks the firmware package at an offset of a package file and records its
// header in the package record below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "FirmwarePackage.h"

// The package record: the values of the most recent FirmwareCheck call. After
// a failed call it mixes fields of that call with older values.
// g_loader_addr and g_fw_total_size belong to it too (TarvoXcon.h).
extern uint32_t vmd_sigs;
extern uint16_t g_sw_ver;
extern uint32_t g_plain_cksum;
extern uint8_t g_warm_reset;
extern uint8_t g_eeprom_handle;
extern uint16_t g_hw_ver[package::HW_VER_COUNT];
extern uint32_t g_enc_cksum;  // written only by a successful check

// What FirmwareCheck returns: 0, or the first step that failed.
enum FirmwareCheckCode {
    FW_OK = 0,
    FW_BAD_HW_VER = -1,
    FW_NO_SIGNATURE = -2,
    FW_BAD_SIGNATURE = -3,
    FW_NO_SW_VER = -4,
    FW_BAD_LOAD_ADDR = -5,
    FW_NO_TOTAL = -6,
    FW_BAD_TOTAL = -7,
    FW_NO_PLAIN_CKSUM = -8,
    FW_SHORT_PAYLOAD = -9,
    FW_NO_PAYLOAD_CKSUM = -10,
    FW_CKSUM_MISMATCH = -11,
};

// Checks the package starting base bytes into f. Leaves f just past the
// payload checksum on success; neither closes f nor restores its position.
int FirmwareCheck(int base, FILE* f);
// The same for offsets of any size.
int FirmwareCheckAt(uint64_t base, FILE* f);
// The same for the package at the start of a buffer of size bytes: a field
// past the end is a field that cannot be read.
int FirmwareCheckBuffer(const uint8_t* data, size_t size);

// Reads up to size bytes from offset of f into out; how many it got.
size_t readPackageBytes(FILE* f, uint64_t offset, uint8_t* out, size_t size);

// The result in words, for reports.
const char* firmwareCheckText(int code);

// What the package walk matches a package against.
struct PackageTarget {
    uint32_t romSize;   // the chip's firmware region
    uint16_t hwver;     // identity word bits 0..15
    uint8_t ringType;   // identity word bits 16..23
};

// Whether the package in the record fits: a hardware-version entry accepts
// hwver, the signature carries the adapter's letter (any letter for 0xFF),
// and the total is the whole firmware region.
bool packageFits(const PackageTarget& target);

// Walks the file from its start to its end as the firmware update does; true
// with the record and fwStart of the first fitting package. Stops at the first
// package that fails its check.
bool findFittingPackage(FILE* f, const PackageTarget& target, uint64_t& fwStart);

// One package of a file as a person is told of it, and what of it fits.
struct PackageSummary {
    char type = 0;                 // the signature's type letter
    uint16_t version = 0;
    uint32_t total = 0;            // the firmware region it is for (the chip)
    uint8_t handling = 0;
    std::vector<uint16_t> boards;  // its hardware-version entries
    bool boardFits = false, typeFits = false, chipFits = false;
};
// Every valid package of the file, walked as the update walks it; stopCode
// is why the walk ended (FW_NO_SIGNATURE at the file's end).
std::vector<PackageSummary> listPackages(FILE* f, const PackageTarget& target, int& stopCode);
