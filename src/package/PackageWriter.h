// Writes one firmware package from a payload file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "FirmwarePackage.h"

// The header fields; checksums and total are computed unless overridden.
struct PackageRecipe {
    uint32_t signature = 0;
    uint16_t swVer = 0;
    uint16_t field06 = 0;
    uint32_t loadAddr = 0x1000;
    uint32_t total = 0;
    bool totalOverride = false;
    uint32_t plainCksum = 0;
    bool plainOverride = false;
    uint8_t field14[10] = {};
    uint8_t warmReset = 0;
    uint8_t handling = 0;
    uint16_t hwVer[package::HW_VER_COUNT] = {};
    uint32_t payloadCksum = 0;
    bool payloadOverride = false;
    uint8_t image[package::SETTING_IMAGE_SIZE] = {};  // handling code 2 only
    uint32_t fitSize = 0;  // pad the payload to this; 0: to a multiple of 64
    uint64_t offset = 0;   // set to where the package starts in the output
};

// The payload file's length; false with the reason (a directory, a missing
// file, ...) in error.
bool payloadLength(const std::string& payload, uint64_t& length, std::string& error);

// Asked once the computed fields are in the recipe (payloadSum: the sum of
// the padded payload), before anything is written; false stops the write.
using PackageApproval =
    std::function<bool(const PackageRecipe& recipe, uint32_t payloadSum, std::string& error)>;

// Writes the package to output, replacing it or after its end. Fills the
// computed fields of recipe. On failure the output is left as it was before
// (an appended file is cut back, a new one removed) and error says why.
bool writePackage(const std::string& payload, const std::string& output, bool append,
                  PackageRecipe& recipe, const PackageApproval& approve, std::string& error);
