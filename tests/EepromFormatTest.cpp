// The setting area's on-flash layout: the factory-default image, the map
// rebuild with its duplicate-row repair, and the master-page checks.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "EepromImage.h"
#include "nvm.h"

using namespace eeprom_test;

namespace {

// Copies the 64 bytes of physical page from over physical page to.
void copyPage(unsigned from, unsigned to) { memcpy(page(to), page(from), 64); }

void eraseRow(unsigned row) { memset(g_eeprom + 256 * row, 0xFF, 256); }

}  // namespace

TEST(EepromFormat, DefaultImageIsAFormattedAreaAfterTwoPageUpdates)
{
    loadBlankArea();
    EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
    eeprom_emulator_erase_memory();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    Page ex01 = pageData("EX01");
    Page zero = pageData(std::string(1, '\0'));
    ASSERT_EQ(eeprom_emulator_write_page(0, ex01.data()), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(2, zero.data()), STATUS_OK);
    eeprom_emulator_commit_page_buffer();

    EXPECT_EQ(g_myData_Size, AREA);
    EXPECT_EQ(memcmp(g_eeprom, g_myData.data(), AREA), 0);
    EXPECT_TRUE(guardIntact());
}

// The same image checked byte by byte against the layout, so that a fault
// shared by the formatter and the image cannot hide.
TEST(EepromFormat, DefaultImageBytesFollowTheLayout)
{
    struct Span {
        size_t offset;
        std::vector<uint8_t> bytes;
    } spans[] = {
        {0x000, std::vector<uint8_t>(256, 0xFF)},                          // spare row 0
        {0x100, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},                     // page 4: logical 0
        {0x140, {0x01, 0xFF, 0xFF, 0xFF, 0xFF}},                           // page 5: logical 1
        {0x180, {0x00, 0x00, 0x00, 0x00, 'E', 'X', '0', '1', 0xFF, 0xFF}}, // page 6
        {0x1C0, std::vector<uint8_t>(64, 0xFF)},                           // page 7 free
        {0x280, {0x02, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}},               // page 10
        {0x2C0, std::vector<uint8_t>(64, 0xFF)},                           // page 11 free
        {0x380, std::vector<uint8_t>(128, 0xFF)},                          // pages 14, 15
        {0xE40, {0x1B, 0xFF, 0xFF, 0xFF, 0xFF}},                           // page 57: logical 27
        {0xF00, std::vector<uint8_t>(192, 0xFF)},                          // pages 60 to 62
        {0xFC0, {0x45, 0x45, 0x74, 0x41, 0x4D, 0x4F, 0x52, 0x50, 0x2E, 0x75, 0x6D, 0x45, 0x01,
                 0x00, 0x00, 0x01, 0xFF}},
        {0xFD0, std::vector<uint8_t>(48, 0xFF)},
    };
    for (const auto& s : spans) {
        std::vector<uint8_t> actual(g_myData.begin() + s.offset,
                                    g_myData.begin() + s.offset + s.bytes.size());
        EXPECT_EQ(actual, s.bytes) << "at offset 0x" << std::hex << s.offset;
    }
}

TEST(EepromFormat, DefaultImageMapsEveryLogicalPageAndReadsFactoryContents)
{
    loadDefaultArea();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    EXPECT_EQ(_eeprom_instance.spare_row, 0);
    for (unsigned j = 0; j < 28; j++) {
        unsigned expected = j == 0 ? 6 : j == 2 ? 10 : 4 * (j / 2 + 1) + j % 2;
        EXPECT_EQ(_eeprom_instance.page_map[j], expected) << "logical page " << j;
    }

    auto bytes = readEeprom();
    for (size_t i = 0; i < EEPROM_BYTES; i++) {
        uint8_t expected = i < 4 ? "EX01"[i] : i == 120 ? 0x00 : 0xFF;
        ASSERT_EQ(bytes[i], expected) << "EEPROM byte " << i;
    }
    // Opening a well-formed area changes nothing.
    EXPECT_EQ(memcmp(g_eeprom, g_myData.data(), AREA), 0);
}

// Two rows that start with the same logical page are what a row move leaves
// when it stops before erasing the full row. Row 1 of the default image is
// full (logical page 0 twice); the other row of each pair is a move target.
TEST(EepromFormat, DuplicateRowRepairKeepsTheCompleteNewestRow)
{
    struct Case {
        const char* name;
        std::function<void()> damage;
        unsigned erasedRow;
        unsigned page0, page1;  // where logical pages 0 and 1 end up
        const char* page0Data;
    } cases[] = {
        {"full row first, its copy in row 5",
         [] {
             copyPage(20, 0), copyPage(21, 1);  // row 5's pages kept in row 0
             eraseRow(5);
             memcpy(page(20), page(6), 64), page(20)[4] = 'N';
             copyPage(5, 21);
         },
         1, 20, 21, "NX01"},
        {"same, but row 1 not full: the later row goes",
         [] {
             copyPage(20, 0), copyPage(21, 1);
             eraseRow(5);
             memcpy(page(20), page(6), 64), page(20)[4] = 'N';
             copyPage(5, 21);
             memset(page(6), 0xFF, 128);
         },
         5, 4, 5, ""},
        {"copy in the earlier row, full row later",
         [] {
             copyPage(6, 0), page(0)[4] = 'N';
             copyPage(5, 1);
         },
         1, 0, 1, "NX01"},
        {"copy stopped after the first page, earlier row",
         [] { copyPage(6, 0), page(0)[4] = 'N'; },
         0, 6, 5, "EX01"},
        {"copy stopped after the first page, later row",
         [] {
             copyPage(20, 0), copyPage(21, 1);
             eraseRow(5);
             memcpy(page(20), page(6), 64), page(20)[4] = 'N';
         },
         5, 6, 5, "EX01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadDefaultArea();
        c.damage();
        ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
        EXPECT_TRUE(rowErased(c.erasedRow));
        EXPECT_EQ(_eeprom_instance.page_map[0], c.page0);
        EXPECT_EQ(_eeprom_instance.page_map[1], c.page1);
        Page data;
        ASSERT_EQ(eeprom_emulator_read_page(0, data.data()), STATUS_OK);
        EXPECT_EQ(data, pageData(c.page0Data));
        EXPECT_TRUE(guardIntact());
    }
}

TEST(EepromFormat, SpareRowIsTheFirstRowWithoutData)
{
    struct Case {
        const char* name;
        std::vector<std::pair<unsigned, uint8_t>> headers;  // physical page, header
        unsigned spareRow;
    } cases[] = {
        {"rows 0 to 2 used", {{0, 0}, {1, 1}, {4, 2}, {5, 3}, {8, 4}, {9, 5}}, 3},
        {"a header outside the page range still uses its row", {{2, 0xFE}, {7, 0x1C}}, 2},
        {"only the master row free",
         {{0, 0}, {4, 1}, {8, 2}, {12, 3}, {16, 4}, {20, 5}, {24, 6}, {28, 7}, {32, 8}, {36, 9},
          {40, 10}, {44, 11}, {48, 12}, {52, 13}, {56, 14}},
         15},
        {"no row free", {{0, 0}, {4, 1}, {8, 2}, {12, 3}, {16, 4}, {20, 5}, {24, 6}, {28, 7},
                         {32, 8}, {36, 9}, {40, 10}, {44, 11}, {48, 12}, {52, 13}, {56, 14},
                         {62, 15}},
         EEPROM_INVALID_ROW},
        {"nothing used", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadBlankArea();
        for (const auto& h : c.headers)
            page(h.first)[0] = h.second;
        EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
        EXPECT_EQ(_eeprom_instance.spare_row, c.spareRow);
    }
}

TEST(EepromFormat, OpeningChecksSpareRowMasterPageAndPageMap)
{
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, uint8_t>> changes;
        status_code expected;
    } cases[] = {
        {"intact", {}, STATUS_OK},
        {"revision 5 is accepted", {{0xFC0 + 14, 5}}, STATUS_OK},
        {"minor version 1", {{0xFC0 + 13, 1}}, STATUS_ERR_IO},
        {"major version 2", {{0xFC0 + 12, 2}}, STATUS_ERR_IO},
        {"emulator id 2", {{0xFC0 + 15, 2}}, STATUS_ERR_IO},
        {"first magic word", {{0xFC0 + 0, 0x46}}, STATUS_ERR_BAD_FORMAT},
        {"third magic word", {{0xFC0 + 11, 0x44}}, STATUS_ERR_BAD_FORMAT},
        {"no free row, headers outside the page range", {{0x000, 28}, {0xF00, 0xFE}},
         STATUS_ERR_BAD_FORMAT},
        {"only the master row free", {{0x000, 28}}, STATUS_OK},
        {"logical page 1 has no version", {{0x140, 0xFF}}, STATUS_ERR_BAD_FORMAT},
        // A row move copies only the row's own two pages: a third one in the
        // row, or one page in two rows, would silently go back to an old copy.
        {"logical page 0's newest copy in row 3", {{14 * 64, 0}}, STATUS_ERR_BAD_FORMAT},
        {"logical page 27 in row 1's last page", {{7 * 64, 27}}, STATUS_ERR_BAD_FORMAT},
        {"logical page 0 also starts the master row", {{60 * 64, 0}}, STATUS_ERR_BAD_FORMAT},
        {"logical page 1 also second in row 0", {{0 * 64, 28}, {1 * 64, 1}}, STATUS_ERR_BAD_FORMAT},
        {"row 3's own page 5 in its page 2", {{14 * 64, 5}}, STATUS_OK},
        {"header 28 in row 3's page 2", {{14 * 64, 28}}, STATUS_OK},
        {"header 0xFE in row 3's page 3", {{15 * 64, 0xFE}}, STATUS_OK},
        {"row 14's pages in the master row, row 14 free", {{56 * 64, 0xFF}, {57 * 64, 0xFF}, {60 * 64, 26}, {61 * 64, 27}}, STATUS_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loadDefaultArea();
        for (const auto& change : c.changes)
            g_eeprom[change.first] = change.second;
        EXPECT_EQ(eeprom_emulator_init(), c.expected);
        EXPECT_EQ(_eeprom_instance.initialized, c.expected == STATUS_OK);
    }
}

TEST(EepromFormat, BlankImageIsUnformattedUntilFormatted)
{
    loadBlankArea();
    EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
    EXPECT_EQ(_eeprom_instance.spare_row, 0);
    Page data;
    EXPECT_EQ(eeprom_emulator_read_page(0, data.data()), STATUS_ERR_NOT_INITIALIZED);

    eeprom_emulator_erase_memory();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    for (unsigned j = 0; j < 28; j++)
        EXPECT_EQ(_eeprom_instance.page_map[j], 4 * (j / 2 + 1) + j % 2);
    auto bytes = readEeprom();
    for (uint8_t b : bytes)
        ASSERT_EQ(b, 0xFF);
    EXPECT_TRUE(rowErased(0));
    for (unsigned p = 60; p < 63; p++)
        EXPECT_EQ(header(p), 0xFF);
    EXPECT_TRUE(guardIntact());
}
