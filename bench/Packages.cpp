#include "Packages.h"

#include <fstream>
#include <random>
#include <vector>

#include "ChildProcess.h"
#include "Device.h"
#include "EEPROM_Init.h"

namespace {

bool writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

bool pack(const std::string& dir, const std::string& chip, const std::string& hw, bool append,
          const std::string& path)
{
    uint32_t size = device::romSize(chip == "128k" ? device::CHIP_128K : device::CHIP_256K);
    std::vector<uint8_t> payload(size);
    std::mt19937 gen(size);
    for (auto& b : payload)
        b = static_cast<uint8_t>(gen());
    const std::string payloadPath = dir + "/payload-" + chip;
    if (!writeFile(payloadPath, payload.data(), payload.size()))
        return false;
    std::vector<std::string> argv = {binPath("tarvo-pack"), "create", "--type=E", "--hw=" + hw,
                                     "--warm-reset=1", "--fit=" + chip};
    if (append)
        argv.push_back("--append");
    argv.insert(argv.end(), {payloadPath, path});
    return runProcess(argv).status == 0;
}

}  // namespace

bool makePackage(const std::string& dir, const std::string& chip, const std::string& path)
{
    return pack(dir, chip, "0x0203", false, path);
}

bool makeLongFile(const std::string& dir, const std::string& chip, int count,
                  const std::string& path)
{
    for (int i = 0; i < count - 1; i++) {
        if (!pack(dir, chip, "0x0999", i > 0, path))
            return false;
    }
    return pack(dir, chip, "0x0203", count > 1, path);
}

bool makeSettings(const std::string& path)
{
    return writeFile(path, g_myData.data(), g_myData.size());
}
