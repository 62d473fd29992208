// SHA-256 of a byte string, for records that must notice any change to a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void update(const uint8_t* data, size_t size);
    // Ends the hash; the object must be made anew for another.
    Digest finish();

    // The digest of data as 64 lower-case hexadecimal digits.
    static std::string hex(const uint8_t* data, size_t size);

private:
    void block(const uint8_t* data);

    uint32_t _state[8];
    uint8_t _buffer[64];
    size_t _buffered = 0;
    uint64_t _length = 0;  // bytes hashed so far
};
