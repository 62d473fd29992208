// The emulator's page and buffer operations and its NVM layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "EepromImage.h"
#include "nvm.h"

using namespace eeprom_test;

namespace {

std::vector<uint8_t> snapshot() { return std::vector<uint8_t>(g_eeprom, g_eeprom + AREA); }

// One free row plus the master row; every other row holds two logical pages
// whose current versions the map names.
void expectWellFormed()
{
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    unsigned freeRows = 0;
    for (unsigned row = 0; row < 15; row++)
        freeRows += rowErased(row);
    EXPECT_EQ(freeRows, 1u);
    EXPECT_TRUE(rowErased(_eeprom_instance.spare_row));
    EXPECT_EQ(memcmp(page(63), g_myData.data() + 63 * 64, 64), 0);
    for (unsigned p = 60; p < 63; p++)
        EXPECT_EQ(header(p), 0xFF);
    for (unsigned j = 0; j < 28; j++)
        EXPECT_EQ(header(_eeprom_instance.page_map[j]), j);
}

}  // namespace

TEST(EepromEmulator, EveryOperationNeedsASuccessfulInit)
{
    loadDefaultArea();
    Page data = pageData("x");
    eeprom_emulator_parameters parameters{7, 9};
    EXPECT_EQ(eeprom_emulator_get_parameters(&parameters), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(parameters.page_size, 7);
    EXPECT_EQ(parameters.eeprom_number_of_pages, 9);
    EXPECT_EQ(eeprom_emulator_read_page(0, data.data()), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_read_buffer(0, data.data(), 4), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_write_buffer(0, data.data(), 4), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(snapshot(), std::vector<uint8_t>(g_myData.begin(), g_myData.end()));

    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_get_parameters(&parameters), STATUS_OK);
    EXPECT_EQ(parameters.page_size, 60);
    EXPECT_EQ(parameters.eeprom_number_of_pages, 28);
    char text[5] = {};
    ASSERT_EQ(eeprom_emulator_read_buffer(0, reinterpret_cast<uint8_t*>(text), 4), STATUS_OK);
    EXPECT_STREQ(text, "EX01");
}

// Without this, page operations would keep working on a map built for an
// image the emulator has just refused, and a row move would write past the
// image into spare row 63.
TEST(EepromEmulator, FailedInitStopsPageOperations)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    memset(g_eeprom, 0, AREA);
    EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
    Page data = pageData("x");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(eeprom_emulator_write_page(1, data.data()), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_TRUE(guardIntact());
}

TEST(EepromEmulator, ThirdWriteOfAPageMovesItsRowIntoTheSpareRow)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    std::vector<uint8_t> page5(page(5), page(5) + 64);

    Page first = pageData("first");
    ASSERT_EQ(eeprom_emulator_write_page(0, first.data()), STATUS_OK);
    EXPECT_EQ(_eeprom_instance.page_map[0], 7);
    EXPECT_EQ(header(7), 0);
    EXPECT_EQ(memcmp(page(7) + 4, first.data(), 60), 0);
    EXPECT_TRUE(_eeprom_instance.cache_active);

    Page second = pageData("second");
    ASSERT_EQ(eeprom_emulator_write_page(0, second.data()), STATUS_OK);
    EXPECT_EQ(_eeprom_instance.page_map[0], 0);
    EXPECT_EQ(_eeprom_instance.page_map[1], 1);
    EXPECT_EQ(_eeprom_instance.spare_row, 1);
    EXPECT_TRUE(rowErased(1));
    EXPECT_EQ(header(0), 0);
    EXPECT_EQ(memcmp(page(0) + 4, second.data(), 60), 0);
    EXPECT_EQ(std::vector<uint8_t>(page(1), page(1) + 64), page5);
    EXPECT_EQ(header(2), 0xFF);
    EXPECT_EQ(header(3), 0xFF);

    Page read;
    ASSERT_EQ(eeprom_emulator_read_page(0, read.data()), STATUS_OK);
    EXPECT_EQ(read, second);
    expectWellFormed();
    ASSERT_EQ(eeprom_emulator_read_page(0, read.data()), STATUS_OK);
    EXPECT_EQ(read, second);
    EXPECT_TRUE(guardIntact());
}

// Every row but the master row holds data: a move would have to go through
// the master row and erase the master page, so it is refused untouched.
TEST(EepromEmulator, MoveWithOnlyTheMasterRowFreeIsRefused)
{
    loadDefaultArea();
    page(0)[0] = 0x40;
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    ASSERT_EQ(_eeprom_instance.spare_row, 15);
    Page data = pageData("new");
    ASSERT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_OK);
    auto before = snapshot();

    EXPECT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_ERR_BAD_FORMAT);
    EXPECT_EQ(eeprom_emulator_last_move_refusal(), EEPROM_MOVE_NO_FREE_ROW);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(eeprom_emulator_init(), STATUS_OK);
    Page read;
    ASSERT_EQ(eeprom_emulator_read_page(0, read.data()), STATUS_OK);
    EXPECT_EQ(read, data);
}

// A full row whose first two pages are not the page being written (its
// image changed under the open area) is not moved: the write would be lost.
TEST(EepromEmulator, MoveOfARowWithoutThePageIsRefused)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    Page data = pageData("new");
    ASSERT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_OK);  // row 1 now full
    ASSERT_EQ(eeprom_emulator_commit_page_buffer(), STATUS_OK);
    page(4)[0] = 9;
    page(5)[0] = 8;
    auto before = snapshot();
    EXPECT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_ERR_BAD_FORMAT);
    EXPECT_EQ(eeprom_emulator_last_move_refusal(), EEPROM_MOVE_PAGE_NOT_IN_ROW);
    EXPECT_EQ(snapshot(), before);

    // A move that goes ahead clears the reason.
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(0, data.data()), STATUS_OK);
    EXPECT_EQ(eeprom_emulator_last_move_refusal(), EEPROM_MOVE_DONE);
}

TEST(EepromEmulator, AddressesOutsideTheEepromAreRefused)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    Page data = pageData("zz");
    std::vector<uint8_t> buffer(300, 0x11);

    EXPECT_EQ(eeprom_emulator_write_page(28, data.data()), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_emulator_write_page(255, data.data()), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_emulator_read_page(28, data.data()), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_emulator_read_buffer(1680, buffer.data(), 1), STATUS_ERR_BAD_ADDRESS);
    // Page 256 would wrap to page 0 in eight bits.
    EXPECT_EQ(eeprom_emulator_read_buffer(256 * 60, buffer.data(), 1), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_emulator_write_buffer(256 * 60, buffer.data(), 60), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(snapshot(), std::vector<uint8_t>(g_myData.begin(), g_myData.end()));

    // Running over the end: the bytes before it are copied or written.
    EXPECT_EQ(eeprom_emulator_read_buffer(1670, buffer.data(), 20), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(buffer[9], 0xFF);
    EXPECT_EQ(buffer[10], 0x11);
    std::vector<uint8_t> ones(20, 0x01);
    EXPECT_EQ(eeprom_emulator_write_buffer(1670, ones.data(), 20), STATUS_ERR_BAD_ADDRESS);
    auto bytes = readEeprom();
    EXPECT_EQ(bytes[1669], 0xFF);
    EXPECT_EQ(bytes[1670], 0x01);
    EXPECT_EQ(bytes[1679], 0x01);
    EXPECT_TRUE(guardIntact());
}

TEST(EepromEmulator, ZeroLengthTransfersChangeNothing)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    uint8_t byte = 0x11;
    EXPECT_EQ(eeprom_emulator_read_buffer(0, &byte, 0), STATUS_OK);
    EXPECT_EQ(eeprom_emulator_write_buffer(0, &byte, 0), STATUS_OK);
    EXPECT_EQ(eeprom_emulator_write_buffer(1680, &byte, 0), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(snapshot(), std::vector<uint8_t>(g_myData.begin(), g_myData.end()));
}

TEST(EepromEmulator, FormattingDropsTheUncommittedPage)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    Page data = pageData("cached");
    ASSERT_EQ(eeprom_emulator_write_page(3, data.data()), STATUS_OK);
    eeprom_emulator_erase_memory();
    Page read;
    ASSERT_EQ(eeprom_emulator_read_page(3, read.data()), STATUS_OK);
    EXPECT_EQ(read, pageData(""));
}

TEST(EepromEmulator, FormattingWithoutGeometryTouchesNothing)
{
    loadDefaultArea();
    eeprom_emulator_erase_memory();
    EXPECT_EQ(snapshot(), std::vector<uint8_t>(g_myData.begin(), g_myData.end()));
    EXPECT_TRUE(guardIntact());
}

TEST(EepromEmulator, NvmLayerChecksAlignmentLengthAndImageBounds)
{
    loadBlankArea();
    uint8_t buffer[80], readBack[80];
    memset(buffer, 0x22, sizeof(buffer));
    struct Case {
        const char* name;
        std::function<status_code()> call;
        status_code expected;
        bool dirties;
    } cases[] = {
        {"read aligned", [&] { return nvm_read_buffer(128, readBack, 64); }, STATUS_OK, false},
        {"read misaligned", [&] { return nvm_read_buffer(32, readBack, 4); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"read 65 bytes", [&] { return nvm_read_buffer(0, readBack, 65); },
         STATUS_ERR_INVALID_ARG, false},
        {"read past the image", [&] { return nvm_read_buffer(8192, readBack, 4); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"write 32 bytes into a page", [&] { return nvm_write_buffer(32, buffer, 4); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"write 65 bytes", [&] { return nvm_write_buffer(0, buffer, 65); },
         STATUS_ERR_INVALID_ARG, false},
        {"misaligned beats length", [&] { return nvm_write_buffer(1, buffer, 65); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"erase last row", [&] { return nvm_erase_row(8192 - 256); }, STATUS_OK, true},
        {"write last page", [&] { return nvm_write_buffer(8128, buffer, 64); }, STATUS_OK, true},
        {"write past the image", [&] { return nvm_write_buffer(8192, buffer, 64); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"update inside a page", [&] { return nvm_update_buffer(64, buffer, 60, 4); }, STATUS_OK,
         true},
        {"update over the page end", [&] { return nvm_update_buffer(64, buffer, 60, 5); },
         STATUS_ERR_INVALID_ARG, false},
        {"update misaligned", [&] { return nvm_update_buffer(65, buffer, 0, 1); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"erase row", [&] { return nvm_erase_row(256); }, STATUS_OK, true},
        {"erase from a page that is not a row start", [&] { return nvm_erase_row(64); },
         STATUS_ERR_BAD_ADDRESS, false},
        {"erase past the image", [&] { return nvm_erase_row(8192); }, STATUS_ERR_BAD_ADDRESS,
         false},
        {"write-page command", [&] { return nvm_execute_command(NVM_COMMAND_WRITE_PAGE, 0, 0); },
         STATUS_OK, true},
        {"other command", [&] { return nvm_execute_command(NVM_COMMAND_ERASE_ROW, 0, 0); },
         STATUS_OK, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        eeprom_dirty = 0;
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(eeprom_dirty, c.dirties ? 1 : 0);
    }
    EXPECT_EQ(memcmp(g_eeprom + 8128, buffer, 64), 0);
    EXPECT_EQ(g_eeprom[64 + 59], 0xFF);
    EXPECT_EQ(g_eeprom[64 + 60], 0x22);

    nvm_parameters parameters{};
    parameters.bootloader_number_of_pages = 77;
    nvm_get_parameters(&parameters);
    EXPECT_EQ(parameters.page_size, 64);
    EXPECT_EQ(parameters.nvm_number_of_pages, 128);
    EXPECT_EQ(parameters.eeprom_number_of_pages, 64u);
    EXPECT_EQ(parameters.bootloader_number_of_pages, 77u);
}

// Any sequence of buffer writes reads back as a plain byte array would,
// also after reopening, and the area stays well formed.
TEST(EepromEmulator, BufferWritesBehaveLikeAPlainByteArray)
{
    loadBlankArea();
    eeprom_emulator_init();
    eeprom_emulator_erase_memory();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);

    std::mt19937 rng(20240611);
    std::array<uint8_t, EEPROM_BYTES> model;
    model.fill(0xFF);
    for (int step = 0; step < 3000; step++) {
        unsigned offset = rng() % (EEPROM_BYTES + 20);
        unsigned length = rng() % 4 == 0 ? rng() % 200 : 1 + rng() % 8;
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());

        status_code status = eeprom_emulator_write_buffer(
            static_cast<uint16_t>(offset), data.data(), static_cast<uint16_t>(length));
        bool overruns = offset + std::max(length, 1u) > EEPROM_BYTES;
        ASSERT_EQ(status, overruns ? STATUS_ERR_BAD_ADDRESS : STATUS_OK) << "step " << step;
        for (unsigned i = 0; i < length && offset + i < EEPROM_BYTES; i++)
            model[offset + i] = data[i];

        if (rng() % 8 == 0)
            eeprom_emulator_commit_page_buffer();
        if (rng() % 50 == 0) {
            SCOPED_TRACE(step);
            expectWellFormed();
        }
        ASSERT_EQ(readEeprom(), model) << "step " << step;
        ASSERT_TRUE(guardIntact()) << "step " << step;
    }
    expectWellFormed();
    EXPECT_EQ(readEeprom(), model);
}
