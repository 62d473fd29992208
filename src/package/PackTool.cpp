#include "package/PackTool.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "Device.h"

const char* const PROGRAM = "tarvo-pack";

bool parseNumber(const std::string& text, uint32_t max, uint32_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

uint32_t chipForSize(uint32_t size)
{
    for (uint32_t chip : {device::CHIP_256K, device::CHIP_128K})
        if (device::romSize(chip) == size)
            return chip;
    return 0;
}
