// Steps shared by the emulator's page operations and its layout code.
#pragma once

#include <cstdint>

#include "eeprom.h"

constexpr uint8_t EEPROM_PAGES_PER_ROW = 4;
constexpr uint16_t EEPROM_MIN_PHYSICAL_PAGES = 12;

constexpr uint32_t EEPROM_MAGIC_KEY[3] = {0x41744545, 0x50524F4D, 0x456D752E};
constexpr uint8_t EEPROM_EMULATOR_ID = 1;
constexpr uint8_t EEPROM_MAJOR_VERSION = 1;
constexpr uint8_t EEPROM_MINOR_VERSION = 0;
constexpr uint8_t EEPROM_REVISION = 0;

inline uint16_t _eeprom_emulator_master_page() { return _eeprom_instance.physical_pages - 1; }
inline uint8_t _eeprom_emulator_master_row()
{
    return static_cast<uint8_t>(_eeprom_emulator_master_page() / EEPROM_PAGES_PER_ROW);
}

// NVM access, each call repeated while the layer is busy.
void _eeprom_emulator_nvm_read_page(uint16_t physical_page, _eeprom_page* page);
void _eeprom_emulator_nvm_fill_cache(uint16_t physical_page, const _eeprom_page* page);
void _eeprom_emulator_nvm_erase_row(uint8_t row);
void _eeprom_emulator_nvm_commit_cache(uint16_t physical_page);

uint8_t _eeprom_emulator_page_header(uint16_t physical_page);

void _eeprom_emulator_update_page_mapping();
void _eeprom_emulator_format_memory();
status_code _eeprom_emulator_verify_master_page();
// Whether every row's pages carry only the row's own two logical pages (the
// ones in its first two pages) and no logical page lives in two rows. A row
// move copies only a row's own two pages, so anything else would be lost or
// reverted by it. Free pages and headers past the logical pages do not count.
bool _eeprom_emulator_rows_hold_own_pages();
