// The simulated adapter's checksum over a flash range, as its boot monitor
// answers the checksum command: the 32-bit wrap-around sum of the bytes.
// Package producers use the same function for a package's plain checksum.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t adapterChecksum(const uint8_t* data, size_t size, uint32_t sum = 0)
{
    for (size_t i = 0; i < size; i++)
        sum += data[i];
    return sum;
}
