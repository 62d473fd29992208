#include "EEPROM_Init.h"

#include <array>
#include <cstddef>

namespace {

// A freshly formatted 64-page area (row 0 spare, logical pages 0..27 in the
// first two pages of rows 1..14, master page last) after two page updates.
constexpr std::array<uint8_t, 4096> makeDefaultImage()
{
    std::array<uint8_t, 4096> image{};
    for (auto& b : image)
        b = 0xFF;

    for (int row = 1; row <= 14; row++) {
        image[static_cast<size_t>(256 * row)] = static_cast<uint8_t>(2 * (row - 1));
        image[static_cast<size_t>(256 * row + 64)] = static_cast<uint8_t>(2 * (row - 1) + 1);
    }

    // Newer version of logical page 0 in page 6: "EX01".
    const uint8_t page6[8] = {0x00, 0x00, 0x00, 0x00, 'E', 'X', '0', '1'};
    for (int i = 0; i < 8; i++)
        image[0x180 + i] = page6[i];

    // Newer version of logical page 2 in page 10: first data byte 0x00.
    const uint8_t page10[5] = {0x02, 0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < 5; i++)
        image[0x280 + i] = page10[i];

    // Master page: magic words, version 1.0.0, emulator id 1.
    const uint8_t master[16] = {0x45, 0x45, 0x74, 0x41, 0x4D, 0x4F, 0x52, 0x50,
                                0x2E, 0x75, 0x6D, 0x45, 0x01, 0x00, 0x00, 0x01};
    for (int i = 0; i < 16; i++)
        image[0xFC0 + i] = master[i];
    return image;
}

}  // namespace

const std::array<uint8_t, 4096> g_myData = makeDefaultImage();
const uint32_t g_myData_Size = 4096;
