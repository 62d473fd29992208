// Helpers for tests that work on the emulator's image in g_eeprom.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "EEPROM_Init.h"
#include "TarvoXcon.h"
#include "eeprom.h"

namespace eeprom_test {

constexpr size_t AREA = 4096;
constexpr size_t EEPROM_BYTES = 1680;
constexpr uint8_t GUARD = 0xA5;  // fills the image's unused second half

using Page = std::array<uint8_t, EEPROM_PAGE_SIZE>;

// Puts the emulator back to its start-up state and loads an area image; the
// rest of g_eeprom gets a pattern that no emulator write produces.
inline void loadArea(const uint8_t* area)
{
    memset(&_eeprom_instance, 0, sizeof(_eeprom_instance));
    memcpy(g_eeprom, area, AREA);
    memset(g_eeprom + AREA, GUARD, sizeof(g_eeprom) - AREA);
}

inline void loadDefaultArea() { loadArea(g_myData.data()); }

inline void loadBlankArea()
{
    std::array<uint8_t, AREA> blank;
    blank.fill(0xFF);
    loadArea(blank.data());
}

inline bool guardIntact()
{
    for (size_t i = AREA; i < sizeof(g_eeprom); i++) {
        if (g_eeprom[i] != GUARD)
            return false;
    }
    return true;
}

inline uint8_t* page(unsigned physical) { return g_eeprom + 64 * physical; }
inline uint8_t header(unsigned physical) { return page(physical)[0]; }

inline bool rowErased(unsigned row)
{
    for (unsigned i = 0; i < 256; i++) {
        if (g_eeprom[256 * row + i] != 0xFF)
            return false;
    }
    return true;
}

// A logical page's data: the given leading bytes, then 0xFF.
inline Page pageData(const std::string& leading)
{
    Page data;
    data.fill(0xFF);
    memcpy(data.data(), leading.data(), leading.size());
    return data;
}

inline std::array<uint8_t, EEPROM_BYTES> readEeprom()
{
    std::array<uint8_t, EEPROM_BYTES> bytes;
    bytes.fill(0);
    eeprom_emulator_read_buffer(0, bytes.data(), EEPROM_BYTES);
    return bytes;
}

}  // namespace eeprom_test
