// The factory-default setting-area image: written over the whole setting
// area, it puts the adapter's settings back to the factory state.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<uint8_t, 4096> g_myData;
extern const uint32_t g_myData_Size;
