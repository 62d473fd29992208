// What the tool knows about the adapter's two chips and its memory map.
#pragma once

#include <cstdint>

namespace device {

constexpr uint32_t CHIP_256K = 0x1001030A;
constexpr uint32_t CHIP_128K = 0x1001030B;

constexpr uint32_t BOOTLOADER_END = 0x1000;   // 0x0000..0x0FFF is never touched
constexpr uint32_t IDENTITY_ADDR = 0xFF4;     // hardware version, type letter
constexpr uint32_t SERIAL_ADDR_LO = 0xFF8;    // serial characters 1..4
constexpr uint32_t SERIAL_ADDR_HI = 0xFFC;    // serial characters 5..8
constexpr uint32_t FIRMWARE_BASE = 0x1000;    // every package loads here
constexpr uint32_t SETTINGS_SIZE = 4096;
constexpr uint32_t RAM_BASE = 0x20000000;     // staging buffer for flash blocks
constexpr uint32_t BLOCK_SIZE = 64;
constexpr uint32_t ROW_SIZE = 256;            // flash erase unit
constexpr uint32_t ROW_ERASE_MAX_MS = 6;      // worst case per row
constexpr uint32_t FLASH_PAGE_SIZE = 64;      // flash write unit

// Cortex-M registers the client reads or writes.
constexpr uint32_t CPUID_ADDR = 0xE000ED00;
constexpr uint32_t CPUID_M0PLUS = 0x410CC601;
constexpr uint32_t DSU_DID_ADDR = 0x41002018;
constexpr uint32_t AIRCR_ADDR = 0xE000ED0C;
constexpr uint32_t AIRCR_RESET = 0x05FA0004;
constexpr uint32_t CPUID_PARTNO_MASK = 0xFFF0;
constexpr uint32_t CPUID_PARTNO_M0PLUS = 0xC600;
// Bits 12..15 of the device identifier vary between dies of one chip.
constexpr uint32_t DSU_DID_MASK = 0xFFFF0FFF;

// Identification paths of other chip families, never taken by the adapter.
constexpr uint32_t ARM7_VECTOR_TOP = 0xEA;    // top byte of a branch at address 0
constexpr uint32_t ARM7_CHIPID_ADDR = 0xFFFFF240;
constexpr uint32_t CORTEXM_CHIPID_ADDR = 0x400E0740;
constexpr uint32_t CORTEXM_CHIPID_ALT_ADDR = 0x400E0940;

// The test is an unsigned difference, so anything below CHIP_256K wraps high.
inline bool isSupportedChip(uint32_t id) { return id - CHIP_256K <= 1; }

inline uint32_t flashSize(uint32_t chip) { return chip == CHIP_128K ? 0x20000 : 0x40000; }
inline uint32_t settingsBase(uint32_t chip) { return flashSize(chip) - SETTINGS_SIZE; }
// The firmware region runs from FIRMWARE_BASE up to the settings base.
inline uint32_t romSize(uint32_t chip) { return settingsBase(chip) - FIRMWARE_BASE; }
// Rows an erase from start clears: up to the settings base, or to the end
// of flash when the setting area goes too.
inline uint32_t eraseRows(uint32_t chip, uint32_t start, bool withSettings)
{
    uint32_t end = withSettings ? flashSize(chip) : settingsBase(chip);
    return start < end ? (end - start + ROW_SIZE - 1) / ROW_SIZE : 0;
}

// Type letters of known adapters.
inline bool isKnownType(uint32_t letter)
{
    return letter == 'C' || letter == 'E' || letter == 'K' || letter == 'N' || letter == 'X';
}

}  // namespace device
