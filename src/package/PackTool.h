// The two commands of the package tool and what they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Each returns the program's exit status.
int packInfo(const std::vector<std::string>& args);
int packCreate(const std::vector<std::string>& args);

// An unsigned number in C notation (decimal, 0x hex, 0 octal) no larger than
// max; false on anything else.
bool parseNumber(const std::string& text, uint32_t max, uint32_t& value);

// The chip whose firmware region a payload of size bytes fills, or 0.
uint32_t chipForSize(uint32_t size);

extern const char* const PROGRAM;
