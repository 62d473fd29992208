// How the emulated EEPROM sits in flash: NVM access, the map rebuild with
// its repair of duplicated rows, formatting and the master page.
#include <cstddef>
#include <cstring>

#include "Device.h"
#include "eeprom_internal.h"
#include "nvm.h"

static_assert(sizeof(_eeprom_page) == device::FLASH_PAGE_SIZE, "a page record is one flash page");
static_assert(sizeof(_eeprom_master_page) == device::FLASH_PAGE_SIZE,
              "the master page record is one flash page");

namespace {

uint32_t pageAddress(uint16_t physical_page)
{
    return static_cast<uint32_t>(physical_page) * device::FLASH_PAGE_SIZE;
}

// The format is little-endian whatever the host is.
uint32_t readLe32(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void writeLe32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t firstPageOfRow(uint8_t row)
{
    return static_cast<uint16_t>(row * EEPROM_PAGES_PER_ROW);
}

// A row whose third page holds a newer version of one of its first two.
bool _eeprom_emulator_is_full_row(uint8_t row)
{
    uint16_t first = firstPageOfRow(row);
    uint8_t third = _eeprom_emulator_page_header(first + 2);
    return third == _eeprom_emulator_page_header(first) ||
           third == _eeprom_emulator_page_header(first + 1);
}

bool isIncompleteRow(uint8_t row)
{
    return _eeprom_emulator_page_header(firstPageOfRow(row) + 1) == EEPROM_INVALID_PAGE;
}

// Two rows starting with the same logical page are the two ends of a row
// move that stopped before the full row was erased; one of them goes. A
// target row whose second page is still free was cut off mid-copy and is
// the one to drop, or the other logical page of the pair would be lost (an
// earlier such row already counts as full: its free pages 1 and 2 match).
void _eeprom_emulator_erase_invalid_page(uint8_t row_a, uint8_t row_b)
{
    if (isIncompleteRow(row_b))
        _eeprom_emulator_nvm_erase_row(row_b);
    else if (_eeprom_emulator_is_full_row(row_a))
        _eeprom_emulator_nvm_erase_row(row_a);
    else
        _eeprom_emulator_nvm_erase_row(row_b);
}

// Headers are read afresh each time: once a row is erased it matches nothing.
bool _eeprom_emulator_check_logical_page(uint8_t row_a, uint8_t row_b)
{
    uint8_t x = _eeprom_emulator_page_header(firstPageOfRow(row_a));
    return x != EEPROM_INVALID_PAGE && _eeprom_emulator_page_header(firstPageOfRow(row_b)) == x;
}

void repairDuplicatedRows()
{
    // The master row never carries data, so it takes no part in the repair.
    const uint8_t master_row = _eeprom_emulator_master_row();
    for (uint8_t a = 0; a < master_row; a++) {
        for (uint8_t b = a + 1; b < master_row; b++) {
            if (_eeprom_emulator_check_logical_page(a, b))
                _eeprom_emulator_erase_invalid_page(a, b);
        }
    }
}

// Within a row the rightmost version of a logical page is its newest.
void buildPageMap()
{
    memset(_eeprom_instance.page_map, EEPROM_INVALID_PAGE, sizeof(_eeprom_instance.page_map));
    for (uint16_t p = 0; p < _eeprom_emulator_master_page(); p++) {
        uint8_t logical = _eeprom_emulator_page_header(p);
        if (logical < _eeprom_instance.logical_pages)
            _eeprom_instance.page_map[logical] = static_cast<uint8_t>(p);
    }
}

void findSpareRow()
{
    _eeprom_instance.spare_row = EEPROM_INVALID_ROW;
    const uint8_t rows =
        static_cast<uint8_t>(_eeprom_instance.physical_pages / EEPROM_PAGES_PER_ROW);
    for (uint8_t row = 0; row < rows; row++) {
        bool free = true;
        const uint16_t first = firstPageOfRow(row);
        for (uint16_t p = first; p < first + EEPROM_PAGES_PER_ROW; p++) {
            if (p != _eeprom_emulator_master_page() &&
                _eeprom_emulator_page_header(p) != EEPROM_INVALID_PAGE)
                free = false;
        }
        if (free) {
            _eeprom_instance.spare_row = row;
            return;
        }
    }
}

void writeAndCommit(uint16_t physical_page, const _eeprom_page* page)
{
    _eeprom_emulator_nvm_fill_cache(physical_page, page);
    _eeprom_emulator_nvm_commit_cache(physical_page);
}

void _eeprom_emulator_create_master_page()
{
    uint8_t bytes[device::FLASH_PAGE_SIZE];
    memset(bytes, 0xFF, sizeof(bytes));
    for (int i = 0; i < 3; i++)
        writeLe32(bytes + 4 * i, EEPROM_MAGIC_KEY[i]);
    bytes[offsetof(_eeprom_master_page, major_version)] = EEPROM_MAJOR_VERSION;
    bytes[offsetof(_eeprom_master_page, minor_version)] = EEPROM_MINOR_VERSION;
    bytes[offsetof(_eeprom_master_page, revision)] = EEPROM_REVISION;
    bytes[offsetof(_eeprom_master_page, emulator_id)] = EEPROM_EMULATOR_ID;

    _eeprom_page page;
    memcpy(&page, bytes, sizeof(page));
    _eeprom_emulator_nvm_erase_row(_eeprom_emulator_master_row());
    writeAndCommit(_eeprom_emulator_master_page(), &page);
}

}  // namespace

void _eeprom_emulator_nvm_read_page(uint16_t physical_page, _eeprom_page* page)
{
    uint8_t bytes[device::FLASH_PAGE_SIZE];
    while (nvm_read_buffer(pageAddress(physical_page), bytes, sizeof(bytes)) == STATUS_BUSY) {
    }
    memcpy(page, bytes, sizeof(*page));
}

void _eeprom_emulator_nvm_fill_cache(uint16_t physical_page, const _eeprom_page* page)
{
    uint8_t bytes[device::FLASH_PAGE_SIZE];
    memcpy(bytes, page, sizeof(bytes));
    while (nvm_write_buffer(pageAddress(physical_page), bytes, sizeof(bytes)) == STATUS_BUSY) {
    }
}

void _eeprom_emulator_nvm_erase_row(uint8_t row)
{
    while (nvm_erase_row(static_cast<uint32_t>(row) * device::ROW_SIZE) == STATUS_BUSY) {
    }
}

void _eeprom_emulator_nvm_commit_cache(uint16_t physical_page)
{
    while (nvm_execute_command(NVM_COMMAND_WRITE_PAGE, pageAddress(physical_page), 0) ==
           STATUS_BUSY) {
    }
}

uint8_t _eeprom_emulator_page_header(uint16_t physical_page)
{
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(physical_page, &page);
    return page.header.logical_page;
}

void _eeprom_emulator_update_page_mapping()
{
    repairDuplicatedRows();
    buildPageMap();
    findSpareRow();
}

void _eeprom_emulator_format_memory()
{
    _eeprom_emulator_nvm_erase_row(0);

    _eeprom_page page;
    memset(&page, 0xFF, sizeof(page));
    uint8_t logical = 0;
    for (uint16_t p = EEPROM_PAGES_PER_ROW; p < _eeprom_emulator_master_page(); p++) {
        uint16_t position = p % EEPROM_PAGES_PER_ROW;
        if (position == 0)
            _eeprom_emulator_nvm_erase_row(static_cast<uint8_t>(p / EEPROM_PAGES_PER_ROW));
        if (position > 1)
            continue;
        page.header.logical_page = logical++;
        writeAndCommit(p, &page);
    }

    // Also clears the two pages the loop wrote into the master row.
    _eeprom_emulator_create_master_page();
    _eeprom_emulator_update_page_mapping();
}

bool _eeprom_emulator_rows_hold_own_pages()
{
    const uint8_t rows = static_cast<uint8_t>(_eeprom_instance.physical_pages / EEPROM_PAGES_PER_ROW);
    constexpr uint8_t NO_ROW = 0xFF;
    uint8_t owner[EEPROM_MAX_LOGICAL_PAGES];
    memset(owner, NO_ROW, sizeof(owner));
    for (uint8_t row = 0; row < rows; row++) {
        const uint16_t first = firstPageOfRow(row);
        const uint8_t own[2] = {_eeprom_emulator_page_header(first),
                                _eeprom_emulator_page_header(first + 1)};
        for (uint16_t p = first; p < first + EEPROM_PAGES_PER_ROW; p++) {
            const uint8_t logical = _eeprom_emulator_page_header(p);
            if (p == _eeprom_emulator_master_page() || logical >= _eeprom_instance.logical_pages)
                continue;
            if (logical != own[0] && logical != own[1])
                return false;
            if (owner[logical] != NO_ROW && owner[logical] != row)
                return false;
            owner[logical] = row;
        }
    }
    return true;
}

status_code _eeprom_emulator_verify_master_page()
{
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(_eeprom_emulator_master_page(), &page);
    uint8_t bytes[device::FLASH_PAGE_SIZE];
    memcpy(bytes, &page, sizeof(bytes));

    _eeprom_master_page master;
    for (int i = 0; i < 3; i++)
        master.magic_key[i] = readLe32(bytes + 4 * i);
    master.major_version = bytes[offsetof(_eeprom_master_page, major_version)];
    master.minor_version = bytes[offsetof(_eeprom_master_page, minor_version)];
    master.emulator_id = bytes[offsetof(_eeprom_master_page, emulator_id)];

    for (int i = 0; i < 3; i++) {
        if (master.magic_key[i] != EEPROM_MAGIC_KEY[i])
            return STATUS_ERR_BAD_FORMAT;
    }
    if (master.emulator_id != EEPROM_EMULATOR_ID || master.major_version != EEPROM_MAJOR_VERSION ||
        master.minor_version != EEPROM_MINOR_VERSION)
        return STATUS_ERR_IO;
    return STATUS_OK;
}
