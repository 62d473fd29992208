// The plain checksum a firmware package carries: the 32-bit wrap-around sum
// of its bytes, as the adapter's monitor computes it by default.
#pragma once

#include <cstddef>
#include <cstdint>

// sum is the running value: 0 to start, the previous result to go on.
inline uint32_t packageByteSum(const uint8_t* data, size_t size, uint32_t sum = 0)
{
    for (size_t i = 0; i < size; i++)
        sum += data[i];
    return sum;
}
