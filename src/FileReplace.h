// Replacing a file whole: a failed write never leaves a half-written file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes beside the target first (an exclusively created PATH.tmp, .tmp1, ...)
// and renames over it only once the bytes are all on disk. On failure the
// target is as it was and error says why.
bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error);
