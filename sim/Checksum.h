// The simulated adapter's checksums over a flash range, as its boot monitor
// answers the checksum command. The default is the 32-bit wrap-around sum of
// the bytes; package producers use it for a package's plain checksum. A
// simulated monitor may answer with another function of the bytes, so that
// the host is shown to carry the value without knowing how it is made.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SimChecksum {
    Sum,    // 32-bit wrap-around byte sum
    Crc32,  // CRC-32 (reflected, polynomial 0xEDB88320, as zip files use)
    Mix,    // a rotate-xor-multiply mix that no formula the host knows gives
};

inline uint32_t adapterChecksum(const uint8_t* data, size_t size, uint32_t sum = 0)
{
    for (size_t i = 0; i < size; i++)
        sum += data[i];
    return sum;
}

// crc is the running value: 0 to start, the previous result to go on.
inline uint32_t crc32Checksum(const uint8_t* data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A monitor whose formula the host cannot know: the host must then read
// everything twice. Not linear in the bytes, and not 0 over zeros.
inline uint32_t mixChecksum(const uint8_t* data, size_t size, uint32_t value = 0)
{
    for (size_t i = 0; i < size; i++)
        value = (((value << 5) | (value >> 27)) ^ data[i]) * 0x9E3779B1u + 0x7F4A7C15u;
    return value;
}

// The monitor's answer of the given kind, over data, going on from value.
inline uint32_t simChecksum(SimChecksum kind, const uint8_t* data, size_t size, uint32_t value = 0)
{
    switch (kind) {
    case SimChecksum::Crc32: return crc32Checksum(data, size, value);
    case SimChecksum::Mix: return mixChecksum(data, size, value);
    default: return adapterChecksum(data, size, value);
    }
}
