// Reading a user's file whole, the counterpart of FileReplace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the whole file; false with a message naming the file when it cannot be read.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
