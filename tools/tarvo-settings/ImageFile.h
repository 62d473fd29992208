// Setting files: raw 4096-byte images of the adapter's setting area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FileReplace.h"

// Reads the whole file; false with a message when it cannot be read.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
