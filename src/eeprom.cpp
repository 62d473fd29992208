#include "eeprom.h"

#include <cstring>

#include "EepromBuffer.h"
#include "eeprom_internal.h"
#include "nvm.h"

_eeprom_module _eeprom_instance;

namespace {

eeprom_move_refusal _last_move_refusal = EEPROM_MOVE_DONE;

uint8_t rowOf(uint16_t physical_page)
{
    return static_cast<uint8_t>(physical_page / EEPROM_PAGES_PER_ROW);
}

// Offsets reach past page 255, so the page number is checked before it is
// narrowed to the page functions' 8 bits.
status_code checkLogicalPage(unsigned logical_page)
{
    if (!_eeprom_instance.initialized)
        return STATUS_ERR_NOT_INITIALIZED;
    if (logical_page >= _eeprom_instance.logical_pages)
        return STATUS_ERR_BAD_ADDRESS;
    return STATUS_OK;
}

bool allPagesMapped()
{
    for (uint8_t i = 0; i < _eeprom_instance.logical_pages; i++) {
        if (_eeprom_instance.page_map[i] == EEPROM_INVALID_PAGE)
            return false;
    }
    return true;
}

bool _eeprom_emulator_is_page_free_on_row(uint16_t start_page, uint16_t* free_page)
{
    uint16_t end = static_cast<uint16_t>((rowOf(start_page) + 1) * EEPROM_PAGES_PER_ROW);
    for (uint16_t p = start_page; p < end; p++) {
        if (_eeprom_emulator_page_header(p) == EEPROM_INVALID_PAGE) {
            *free_page = p;
            return true;
        }
    }
    return false;
}

// Copies the current versions of the full row's two logical pages, one of
// them replaced by the new data, into the spare row, then erases the full row,
// which becomes the spare row.
status_code _eeprom_emulator_move_data_to_spare(uint8_t row, uint8_t logical_page,
                                                const uint8_t* data)
{
    const uint8_t master_row = _eeprom_emulator_master_row();
    const uint16_t first = static_cast<uint16_t>(row * EEPROM_PAGES_PER_ROW);
    const uint8_t logical[2] = {_eeprom_emulator_page_header(first),
                                _eeprom_emulator_page_header(first + 1)};

    // Moving into or out of the master row would erase the master page, and
    // a row that does not hold the page being written would lose the write.
    if (row == master_row)
        _last_move_refusal = EEPROM_MOVE_MASTER_ROW;
    else if (_eeprom_instance.spare_row >= master_row)
        _last_move_refusal = EEPROM_MOVE_NO_FREE_ROW;
    else if (logical[0] != logical_page && logical[1] != logical_page)
        _last_move_refusal = EEPROM_MOVE_PAGE_NOT_IN_ROW;
    else
        _last_move_refusal = EEPROM_MOVE_DONE;
    if (_last_move_refusal != EEPROM_MOVE_DONE)
        return STATUS_ERR_BAD_FORMAT;

    uint16_t current[2] = {first, static_cast<uint16_t>(first + 1)};
    for (uint16_t p = first + 2; p < first + EEPROM_PAGES_PER_ROW; p++) {
        uint8_t header = _eeprom_emulator_page_header(p);
        for (int c = 0; c < 2; c++) {
            if (header == logical[c])
                current[c] = p;
        }
    }

    for (int c = 0; c < 2; c++) {
        const uint16_t target =
            static_cast<uint16_t>(_eeprom_instance.spare_row * EEPROM_PAGES_PER_ROW + c);
        eeprom_emulator_commit_page_buffer();
        if (logical[c] == logical_page) {
            _eeprom_instance.cache.header.logical_page = logical_page;
            memcpy(_eeprom_instance.cache.data, data, EEPROM_PAGE_SIZE);
        } else {
            _eeprom_emulator_nvm_read_page(current[c], &_eeprom_instance.cache);
        }
        _eeprom_emulator_nvm_fill_cache(target, &_eeprom_instance.cache);
        if (logical[c] < _eeprom_instance.logical_pages)
            _eeprom_instance.page_map[logical[c]] = static_cast<uint8_t>(target);
        _eeprom_instance.cache_active = true;
    }

    _eeprom_emulator_nvm_erase_row(row);
    _eeprom_instance.spare_row = row;
    return STATUS_OK;
}

}  // namespace

status_code eeprom_emulator_init()
{
    nvm_config config{};
    config.manual_page_write = true;
    while (nvm_set_config(&config) == STATUS_BUSY) {
    }

    nvm_parameters parameters{};
    nvm_get_parameters(&parameters);
    if (parameters.eeprom_number_of_pages < EEPROM_MIN_PHYSICAL_PAGES)
        return STATUS_ERR_NO_MEMORY;

    _eeprom_instance.physical_pages = static_cast<uint16_t>(parameters.eeprom_number_of_pages);
    _eeprom_instance.flash = reinterpret_cast<_eeprom_page*>(g_eeprom);
    _eeprom_instance.cache_active = false;
    _eeprom_instance.logical_pages =
        static_cast<uint8_t>((_eeprom_instance.physical_pages - 8) / 2);
    // The map now describes this image, so the old success no longer counts.
    _eeprom_instance.initialized = false;

    _eeprom_emulator_update_page_mapping();
    if (_eeprom_instance.spare_row == EEPROM_INVALID_ROW)
        return STATUS_ERR_BAD_FORMAT;
    status_code status = _eeprom_emulator_verify_master_page();
    if (status != STATUS_OK)
        return status;
    // A logical page without any version has nowhere to be read from or
    // written to.
    if (!allPagesMapped())
        return STATUS_ERR_BAD_FORMAT;
    if (!_eeprom_emulator_rows_hold_own_pages())
        return STATUS_ERR_BAD_FORMAT;

    _eeprom_instance.initialized = true;
    return STATUS_OK;
}

status_code eeprom_emulator_get_parameters(eeprom_emulator_parameters* parameters)
{
    if (!_eeprom_instance.initialized)
        return STATUS_ERR_NOT_INITIALIZED;
    parameters->page_size = EEPROM_PAGE_SIZE;
    parameters->eeprom_number_of_pages = _eeprom_instance.logical_pages;
    return STATUS_OK;
}

void eeprom_emulator_erase_memory()
{
    // Without a recorded geometry there is no area to format.
    if (_eeprom_instance.physical_pages < EEPROM_MIN_PHYSICAL_PAGES)
        return;
    // The cache would otherwise still answer reads with data from before.
    _eeprom_instance.cache_active = false;
    _eeprom_emulator_format_memory();
}

status_code eeprom_emulator_write_page(uint8_t logical_page, const uint8_t* data)
{
    status_code status = checkLogicalPage(logical_page);
    if (status != STATUS_OK)
        return status;

    if (_eeprom_instance.cache_active &&
        _eeprom_instance.cache.header.logical_page != logical_page)
        eeprom_emulator_commit_page_buffer();

    const uint8_t current = _eeprom_instance.page_map[logical_page];
    uint16_t free_page;
    if (!_eeprom_emulator_is_page_free_on_row(current, &free_page))
        return _eeprom_emulator_move_data_to_spare(rowOf(current), logical_page, data);

    _eeprom_instance.cache.header.logical_page = logical_page;
    memcpy(_eeprom_instance.cache.data, data, EEPROM_PAGE_SIZE);
    _eeprom_emulator_nvm_fill_cache(free_page, &_eeprom_instance.cache);
    _eeprom_instance.page_map[logical_page] = static_cast<uint8_t>(free_page);
    _eeprom_instance.cache_active = true;
    return STATUS_OK;
}

status_code eeprom_emulator_read_page(uint8_t logical_page, uint8_t* data)
{
    status_code status = checkLogicalPage(logical_page);
    if (status != STATUS_OK)
        return status;

    if (_eeprom_instance.cache_active &&
        _eeprom_instance.cache.header.logical_page == logical_page) {
        memcpy(data, _eeprom_instance.cache.data, EEPROM_PAGE_SIZE);
    } else {
        _eeprom_page page;
        _eeprom_emulator_nvm_read_page(_eeprom_instance.page_map[logical_page], &page);
        memcpy(data, page.data, EEPROM_PAGE_SIZE);
    }
    return STATUS_OK;
}

status_code eeprom_emulator_commit_page_buffer()
{
    if (_eeprom_instance.cache_active) {
        uint8_t logical = _eeprom_instance.cache.header.logical_page;
        if (logical < _eeprom_instance.logical_pages)
            _eeprom_emulator_nvm_commit_cache(_eeprom_instance.page_map[logical]);
        _eeprom_instance.cache_active = false;
    }
    return STATUS_OK;
}

status_code eeprom_emulator_read_buffer(uint16_t offset, uint8_t* data, uint16_t length)
{
    uint8_t buffer[EEPROM_PAGE_SIZE];
    unsigned page = offset / EEPROM_PAGE_SIZE;
    status_code status = checkLogicalPage(page);
    if (status == STATUS_OK)
        status = eeprom_emulator_read_page(static_cast<uint8_t>(page), buffer);
    if (status != STATUS_OK)
        return status;

    const uint32_t end = static_cast<uint32_t>(offset) + length;
    for (uint32_t c = offset; c < end; c++) {
        if (c % EEPROM_PAGE_SIZE == 0 && c != offset) {
            status = checkLogicalPage(++page);
            if (status == STATUS_OK)
                status = eeprom_emulator_read_page(static_cast<uint8_t>(page), buffer);
            if (status != STATUS_OK)
                return status;
        }
        data[c - offset] = buffer[c % EEPROM_PAGE_SIZE];
    }
    return STATUS_OK;
}

status_code eeprom_emulator_write_buffer(uint16_t offset, const uint8_t* data, uint16_t length)
{
    uint8_t buffer[EEPROM_PAGE_SIZE];
    unsigned page = offset / EEPROM_PAGE_SIZE;
    status_code status = checkLogicalPage(page);
    if (status != STATUS_OK)
        return status;
    if (offset % EEPROM_PAGE_SIZE != 0 || length < EEPROM_PAGE_SIZE) {
        status = eeprom_emulator_read_page(static_cast<uint8_t>(page), buffer);
        if (status != STATUS_OK || length == 0)
            return status;
    }

    const uint32_t end = static_cast<uint32_t>(offset) + length;
    for (uint32_t c = offset; c < end; c++) {
        if (c % EEPROM_PAGE_SIZE == 0 && c != offset) {
            status = eeprom_emulator_write_page(static_cast<uint8_t>(page), buffer);
            if (status != STATUS_OK)
                return status;
            status = checkLogicalPage(++page);
            if (status == STATUS_OK)
                status = eeprom_emulator_read_page(static_cast<uint8_t>(page), buffer);
            if (status != STATUS_OK)
                return status;
        }
        buffer[c % EEPROM_PAGE_SIZE] = data[c - offset];
    }
    return eeprom_emulator_write_page(static_cast<uint8_t>(page), buffer);
}

eeprom_move_refusal eeprom_emulator_last_move_refusal()
{
    return _last_move_refusal;
}
