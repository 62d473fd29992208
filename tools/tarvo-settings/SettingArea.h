// A setting file opened through the EEPROM emulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status_code.h"

// Loads the file into the emulator's image (exactly 4096 bytes, or a
// message saying what is wrong) and opens it; status is the opening result.
bool openSettingFile(const std::string& path, std::vector<uint8_t>& original, status_code& status,
                     std::string& error);

// Why an opened area is unusable, in words, for a status other than STATUS_OK.
std::string areaProblem(status_code status);

// Why writing into an opened area failed with status, in words.
std::string writeProblem(status_code status);

// Prints the area as show does; the image must have opened.
void printArea(const std::vector<uint8_t>& original);

// Writes the setting area of the emulator's image to the file.
bool saveSettingFile(const std::string& path, std::string& error);
