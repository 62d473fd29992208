// The files the benchmark's runs use: package files made with tarvo-pack,
// and a setting image.
#pragma once

#include <string>

// One package filling chip's firmware region ("128k" or "256k"), for an
// adapter of type E and hardware version 0x0203, with a warm restart.
bool makePackage(const std::string& dir, const std::string& chip, const std::string& path);

// count - 1 packages that fit no adapter, then the one of makePackage.
bool makeLongFile(const std::string& dir, const std::string& chip, int count,
                  const std::string& path);

// The factory-default setting area.
bool makeSettings(const std::string& path);
