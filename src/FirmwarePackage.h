// Layout of one firmware package in a package file. Multi-byte fields are
// little-endian; offsets count from the package's first byte.
#pragma once

#include <cstdint>

namespace package {

constexpr uint32_t SIG_OFFSET = 0x00;        // "VMD" and the type letter
constexpr uint32_t SW_VER_OFFSET = 0x04;
constexpr uint32_t LOAD_ADDR_OFFSET = 0x08;
constexpr uint32_t TOTAL_OFFSET = 0x0C;      // payload length
constexpr uint32_t PLAIN_CKSUM_OFFSET = 0x10;
constexpr uint32_t WARM_RESET_OFFSET = 0x1E;
constexpr uint32_t HANDLING_OFFSET = 0x1F;
constexpr uint32_t HW_VER_OFFSET = 0x20;
constexpr int HW_VER_COUNT = 8;
constexpr uint32_t HEADER_SIZE = 0x30;       // the payload starts here
constexpr uint32_t CKSUM_SIZE = 4;           // payload sum after the payload
constexpr uint32_t SETTING_IMAGE_SIZE = 4096;
constexpr uint32_t PAYLOAD_ALIGN = 64;

// Handling code whose package carries a setting-area image after the payload sum.
constexpr uint8_t HANDLING_WITH_IMAGE = 2;
// Handling code that keeps the adapter's setting area through the erase.
constexpr uint8_t HANDLING_KEEP_SETTINGS = 0;

// The signature as the little-endian word read from the file.
constexpr uint32_t signature(char letter)
{
    return 'V' | ('M' << 8) | ('D' << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(letter)) << 24);
}
constexpr char typeLetter(uint32_t sig) { return static_cast<char>(sig >> 24); }

// Bytes from one package's start to the next package's start.
constexpr uint64_t span(uint32_t total, uint8_t handling)
{
    return uint64_t{HEADER_SIZE} + total + CKSUM_SIZE +
           (handling == HANDLING_WITH_IMAGE ? SETTING_IMAGE_SIZE : 0);
}

// Whether a hardware-version entry accepts the adapter's version; an entry
// with low byte 0xFF accepts every version of its high byte.
constexpr bool hwMatches(uint16_t entry, uint16_t hwver)
{
    return entry == hwver || ((entry & 0xFF) == 0xFF && (entry >> 8) == (hwver >> 8));
}

}  // namespace package
