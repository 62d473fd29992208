#include "nvm.h"

#include <cstring>

#include "Device.h"
#include "EepromBuffer.h"

uint8_t eeprom_dirty;

namespace {

bool isInsideImage(uint32_t address, uint32_t span)
{
    return address <= G_EEPROM_SIZE && span <= G_EEPROM_SIZE - address;
}

}  // namespace

status_code nvm_set_config(const nvm_config*)
{
    return STATUS_OK;
}

void nvm_get_parameters(nvm_parameters* parameters)
{
    parameters->page_size = device::FLASH_PAGE_SIZE;
    parameters->nvm_number_of_pages = G_EEPROM_SIZE / device::FLASH_PAGE_SIZE;
    parameters->eeprom_number_of_pages = device::SETTINGS_SIZE / device::FLASH_PAGE_SIZE;
}

status_code nvm_read_buffer(uint32_t source_address, uint8_t* buffer, uint16_t length)
{
    if (source_address % device::FLASH_PAGE_SIZE != 0 ||
        !isInsideImage(source_address, device::FLASH_PAGE_SIZE))
        return STATUS_ERR_BAD_ADDRESS;
    if (length > device::FLASH_PAGE_SIZE)
        return STATUS_ERR_INVALID_ARG;
    memcpy(buffer, g_eeprom + source_address, length);
    return STATUS_OK;
}

status_code nvm_write_buffer(uint32_t destination_address, const uint8_t* buffer,
                             uint16_t length)
{
    if (destination_address % device::FLASH_PAGE_SIZE != 0 ||
        !isInsideImage(destination_address, device::FLASH_PAGE_SIZE))
        return STATUS_ERR_BAD_ADDRESS;
    if (length > device::FLASH_PAGE_SIZE)
        return STATUS_ERR_INVALID_ARG;
    eeprom_dirty = 1;
    memcpy(g_eeprom + destination_address, buffer, length);
    return STATUS_OK;
}

status_code nvm_update_buffer(uint32_t destination_address, const uint8_t* buffer,
                              uint16_t offset, uint16_t length)
{
    if (destination_address % device::FLASH_PAGE_SIZE != 0 ||
        !isInsideImage(destination_address, device::FLASH_PAGE_SIZE))
        return STATUS_ERR_BAD_ADDRESS;
    if (static_cast<uint32_t>(offset) + length > device::FLASH_PAGE_SIZE)
        return STATUS_ERR_INVALID_ARG;
    eeprom_dirty = 1;
    memcpy(g_eeprom + destination_address + offset, buffer, length);
    return STATUS_OK;
}

status_code nvm_erase_row(uint32_t row_address)
{
    if (row_address % device::ROW_SIZE != 0 || !isInsideImage(row_address, device::ROW_SIZE))
        return STATUS_ERR_BAD_ADDRESS;
    eeprom_dirty = 1;
    memset(g_eeprom + row_address, 0xFF, device::ROW_SIZE);
    return STATUS_OK;
}

// Pages reach the image when written; the write command only marks the change.
status_code nvm_execute_command(nvm_command command, uint32_t, uint32_t)
{
    if (command == NVM_COMMAND_WRITE_PAGE)
        eeprom_dirty = 1;
    return STATUS_OK;
}
