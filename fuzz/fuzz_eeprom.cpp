// The host-side EEPROM emulator opening an arbitrary setting-area image in
// g_eeprom, then writing and reading through it. The input is the 4096-byte
// image (a shorter input is padded with 0xFF), then the operations. Nothing
// may change outside the image, and what a write reported done must read
// back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "Device.h"
#include "TarvoXcon.h"
#include "eeprom.h"

namespace {

constexpr int MAX_OPS = 64;
constexpr uint8_t GUARD = 0xA5;
constexpr uint16_t SPAN = 2048;  // past the emulated space, to reach its edges

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool guardIntact()
{
    for (size_t i = device::SETTINGS_SIZE; i < sizeof(g_eeprom); i++) {
        if (g_eeprom[i] != GUARD)
            return false;
    }
    return true;
}

void writeThenRead(FuzzedDataProvider& input)
{
    uint16_t offset = input.ConsumeIntegralInRange<uint16_t>(0, SPAN);
    std::vector<uint8_t> data =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 3 * EEPROM_PAGE_SIZE));
    if (eeprom_emulator_write_buffer(offset, data.data(), static_cast<uint16_t>(data.size())) !=
        STATUS_OK)
        return;
    std::vector<uint8_t> back(data.size());
    check(eeprom_emulator_read_buffer(offset, back.data(), static_cast<uint16_t>(back.size())) ==
          STATUS_OK);
    check(back == data);
}

void pageThenRead(FuzzedDataProvider& input)
{
    uint8_t page = input.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> data = input.ConsumeBytes<uint8_t>(EEPROM_PAGE_SIZE);
    data.resize(EEPROM_PAGE_SIZE, 0xFF);
    if (eeprom_emulator_write_page(page, data.data()) != STATUS_OK)
        return;
    std::vector<uint8_t> back(EEPROM_PAGE_SIZE);
    check(eeprom_emulator_read_page(page, back.data()) == STATUS_OK);
    check(back == data);
}

void runOne(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
    case 1:
        writeThenRead(input);
        break;
    case 2:
        pageThenRead(input);
        break;
    case 3: {
        std::vector<uint8_t> out(input.ConsumeIntegralInRange<size_t>(0, SPAN));
        eeprom_emulator_read_buffer(input.ConsumeIntegralInRange<uint16_t>(0, SPAN), out.data(),
                                    static_cast<uint16_t>(out.size()));
        break;
    }
    case 4:
        eeprom_emulator_commit_page_buffer();
        break;
    case 5:
        // Opened again, as after a power cycle of the adapter.
        eeprom_emulator_commit_page_buffer();
        eeprom_emulator_init();
        break;
    case 6:
        eeprom_emulator_erase_memory();
        check(eeprom_emulator_init() == STATUS_OK);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<uint8_t> image = input.ConsumeBytes<uint8_t>(device::SETTINGS_SIZE);
    image.resize(device::SETTINGS_SIZE, 0xFF);

    memset(&_eeprom_instance, 0, sizeof(_eeprom_instance));
    memcpy(g_eeprom, image.data(), image.size());
    memset(g_eeprom + device::SETTINGS_SIZE, GUARD, sizeof(g_eeprom) - device::SETTINGS_SIZE);

    eeprom_emulator_init();
    for (int op = 0; op < MAX_OPS && input.remaining_bytes() > 0; op++)
        runOne(input);
    check(guardIntact());
    return 0;
}
