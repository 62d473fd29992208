// The program-wide setting-area buffer, apart from the driver so that the
// emulator's layers can reach it without the command line.
#pragma once

#include <cstdint>

// Buffer for the setting area; also the host-side EEPROM emulator's image.
constexpr int G_EEPROM_SIZE = 8192;
extern uint8_t g_eeprom[G_EEPROM_SIZE];
