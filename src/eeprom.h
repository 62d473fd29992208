// Host-side EEPROM emulator: reads and changes a setting-area image held in
// g_eeprom, page by page, in the same versioned-page format the adapter's
// firmware keeps in flash. One global instance; every call reports a
// status_code and none prints or throws.
#pragma once

#include <cstdint>

#include "status_code.h"

constexpr uint8_t EEPROM_PAGE_SIZE = 60;      // data bytes of a logical page
constexpr uint8_t EEPROM_MAX_LOGICAL_PAGES = 124;
constexpr uint8_t EEPROM_INVALID_ROW = 63;    // spare_row when no row is free
constexpr uint8_t EEPROM_INVALID_PAGE = 0xFF; // header of a free page; unmapped entry

struct _eeprom_page {
    struct {
        uint8_t logical_page;
        uint8_t reserved[3];
    } header;
    uint8_t data[EEPROM_PAGE_SIZE];
};

struct _eeprom_master_page {
    uint32_t magic_key[3];
    uint8_t major_version;
    uint8_t minor_version;
    uint8_t revision;
    uint8_t emulator_id;
    uint8_t reserved[48];
};

struct _eeprom_module {
    bool initialized;
    _eeprom_page* flash;
    uint16_t physical_pages;
    uint8_t logical_pages;
    uint8_t page_map[EEPROM_MAX_LOGICAL_PAGES];
    uint8_t spare_row;
    _eeprom_page cache;
    bool cache_active;
};

// Exposed so that tools and tests can see where each logical page lives.
extern _eeprom_module _eeprom_instance;

struct eeprom_emulator_parameters {
    uint8_t page_size;
    uint16_t eeprom_number_of_pages;
};

// Opens the area in g_eeprom: rebuilds the page map, repairing a row pair
// left by an interrupted row move, and checks the master page.
status_code eeprom_emulator_init();
status_code eeprom_emulator_get_parameters(eeprom_emulator_parameters* parameters);
// Formats an empty area with the geometry of the last eeprom_emulator_init,
// which must be called again afterwards to use the area.
void eeprom_emulator_erase_memory();
status_code eeprom_emulator_write_page(uint8_t logical_page, const uint8_t* data);
status_code eeprom_emulator_read_page(uint8_t logical_page, uint8_t* data);
status_code eeprom_emulator_write_buffer(uint16_t offset, const uint8_t* data, uint16_t length);
status_code eeprom_emulator_read_buffer(uint16_t offset, uint8_t* data, uint16_t length);
status_code eeprom_emulator_commit_page_buffer();

// Why the last row move was refused (a page write that returned
// STATUS_ERR_BAD_FORMAT); EEPROM_MOVE_DONE after a move that went ahead.
enum eeprom_move_refusal {
    EEPROM_MOVE_DONE,
    EEPROM_MOVE_NO_FREE_ROW,      // only the master row is free to move into
    EEPROM_MOVE_MASTER_ROW,       // the full row is the master row
    EEPROM_MOVE_PAGE_NOT_IN_ROW,  // the full row does not hold the page written
};
eeprom_move_refusal eeprom_emulator_last_move_refusal();
