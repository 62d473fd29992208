// Setting files: raw 4096-byte images of the adapter's setting area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the whole file; false with a message when it cannot be read.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Writes beside the target first and renames over it only once the bytes
// are all on disk, so a failed write never leaves a half-written file.
bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error);
