// The flash layer under the EEPROM emulator. On the host it is the memory
// image g_eeprom: NVM addresses are byte offsets into it, and an address
// outside the image is refused as a bad address.
#pragma once

#include <cstdint>

#include "status_code.h"

enum nvm_sleep_power_mode {
    NVM_SLEEP_POWER_MODE_WAKEONACCESS = 0,
    NVM_SLEEP_POWER_MODE_WAKEUPINSTANT = 1,
    NVM_SLEEP_POWER_MODE_ALWAYS_AWAKE = 3,
};

enum nvm_cache_readmode {
    NVM_CACHE_READMODE_NO_MISS_PENALTY = 0,
    NVM_CACHE_READMODE_LOW_POWER = 1,
    NVM_CACHE_READMODE_DETERMINISTIC = 2,
};

enum nvm_command {
    NVM_COMMAND_ERASE_ROW = 2,
    NVM_COMMAND_WRITE_PAGE = 4,
    NVM_COMMAND_ERASE_AUX_ROW = 5,
    NVM_COMMAND_WRITE_AUX_ROW = 6,
    NVM_COMMAND_LOCK_REGION = 64,
    NVM_COMMAND_UNLOCK_REGION = 65,
    NVM_COMMAND_ENTER_LOW_POWER_MODE = 66,
    NVM_COMMAND_EXIT_LOW_POWER_MODE = 67,
    NVM_COMMAND_PAGE_BUFFER_CLEAR = 68,
    NVM_COMMAND_SET_SECURITY_BIT = 69,
};

struct nvm_config {
    nvm_sleep_power_mode sleep_power_mode;
    bool manual_page_write;
    uint8_t wait_states;
    bool disable_cache;
    nvm_cache_readmode cache_readmode;
};

struct nvm_parameters {
    uint8_t page_size;
    uint16_t nvm_number_of_pages;
    uint32_t eeprom_number_of_pages;
    uint32_t bootloader_number_of_pages;
};

// Raised by every change to g_eeprom; never cleared here.
extern uint8_t eeprom_dirty;

status_code nvm_set_config(const nvm_config* config);
// Reports one setting area (64 pages): the emulator then never leaves the
// image's first half, which is where a saved setting area lives.
void nvm_get_parameters(nvm_parameters* parameters);
status_code nvm_read_buffer(uint32_t source_address, uint8_t* buffer, uint16_t length);
status_code nvm_write_buffer(uint32_t destination_address, const uint8_t* buffer,
                             uint16_t length);
status_code nvm_update_buffer(uint32_t destination_address, const uint8_t* buffer,
                              uint16_t offset, uint16_t length);
status_code nvm_erase_row(uint32_t row_address);
status_code nvm_execute_command(nvm_command command, uint32_t address, uint32_t parameter);
