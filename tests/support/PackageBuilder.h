// Builds firmware packages and scratch files for tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"

using Bytes = std::vector<uint8_t>;

struct PackageFields {
    char type = 'N';
    uint16_t swVer = 0x0100;
    uint32_t loadAddr = 0x1000;
    std::optional<uint32_t> total;        // default: the payload's length
    std::optional<uint32_t> plainCksum;   // default: the sum of the streamed range
    uint8_t warmReset = 1;
    uint8_t handling = 0;
    std::array<uint16_t, 8> hwVer = {0x1234, 0x1234, 0x1234, 0x1234,
                                     0x1234, 0x1234, 0x1234, 0x1234};
    Bytes payload;
    std::optional<uint32_t> payloadCksum; // default: the payload's byte sum
    Bytes image;                          // appended after the payload checksum
};

// The package's bytes, laid out as the update reads them.
Bytes buildPackage(const PackageFields& fields);

// A payload of size bytes that differs from one seed to another.
Bytes patternBytes(size_t size, uint8_t seed);

uint32_t byteSum(const uint8_t* data, size_t size);
inline uint32_t byteSum(const Bytes& data) { return byteSum(data.data(), data.size()); }

void writeFile(const std::string& path, const Bytes& data);
Bytes readFile(const std::string& path);
