// The vendor commands: erase, copy to flash, checksum, setting dump, prepare.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "EEPROM_Init.h"
#include "SimRig.h"

namespace {

using Op = std::function<void(Samba&)>;

TEST(SambaExtension, EraseReachesSettingsBaseOrEndOfFlash)
{
    struct Case {
        uint32_t chip;
        uint32_t start;
        uint8_t clearSettings;
        uint32_t end;
    } cases[] = {
        {device::CHIP_256K, 0x1000, 0, 0x3F000},
        {device::CHIP_256K, 0x3F000, 1, 0x40000},
        {device::CHIP_128K, 0x1000, 1, 0x20000},
        {device::CHIP_128K, 0x1080, 0, 0x1F000},  // from the row holding the address
    };
    for (const auto& c : cases) {
        SimOptions options;
        options.chipId = c.chip;
        SimRig rig(options);
        ASSERT_TRUE(rig.connect());
        std::vector<uint8_t> before = rig.adapter->flash();
        EXPECT_TRUE(rig.samba.chipErase(c.start, c.clearSettings));
        const auto& rows = rig.adapter->record.erasedRows;
        uint32_t first = c.start & ~0xFFu;
        ASSERT_EQ(rows.size(), (c.end - first) / 256) << std::hex << c.start;
        EXPECT_EQ(rows.front(), first);
        EXPECT_EQ(rows.back(), c.end - 256);
        const auto& flash = rig.adapter->flash();
        for (uint32_t a = 0; a < flash.size(); a++) {
            uint8_t expected = a >= first && a < c.end ? 0xFF : before[a];
            ASSERT_EQ(flash[a], expected) << std::hex << a;
        }
        EXPECT_TRUE(rig.adapter->record.bootloaderTouches.empty());
    }
}

// Only "Z", white space and hexadecimal digits within the nine bytes.
TEST(SambaExtension, ChecksumReplyParsing)
{
    struct Case {
        std::string reply;
        bool ok;
        uint32_t value;
    } cases[] = {
        {"Z0001ABCD", true, 0x0001ABCD},
        {"Z0001abcd", true, 0x0001ABCD},
        {"ZFFFFFFFF", true, 0xFFFFFFFF},
        {"Z   12345", true, 0x12345},
        {"Z1234\r\n\r\n", true, 0x1234},
        {"Z1234", false, 0},        // cut short
        {"Z", false, 0},
        {"", false, 0},
        {"z0001ABCD", false, 0},
        {"Z?0001ABC", false, 0},
        {"Z        ", false, 0},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        rig.port->script(c.reply);
        if (c.ok)
            EXPECT_EQ(rig.samba.checksumBuffer(0x1000, 4), c.value) << c.reply;
        else
            EXPECT_THROW(rig.samba.checksumBuffer(0x1000, 4), SambaError) << c.reply;
        EXPECT_EQ(rig.log->timeouts.back(), 1000);
    }
}

TEST(SambaExtension, WrongReplyLetterThrows)
{
    struct Case {
        const char* what;
        uint32_t offset;  // which command of the operation gets the bad reply
        Op op;
    } cases[] = {
        {"erase", 0, [](Samba& s) { s.chipErase(0x1000, 0); }},
        {"copy source", 0, [](Samba& s) { s.writeBuffer(0x20000000, 0x3F000, 64); }},
        {"copy", 1, [](Samba& s) { s.writeBuffer(0x20000000, 0x3F000, 64); }},
        {"checksum", 0, [](Samba& s) { s.checksumBuffer(0x3F000, 64); }},
        {"prepare", 0, [](Samba& s) { s.initD(); }},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        rig.adapter->faults.wrongLetterOf = rig.nextCommand() + c.offset;
        EXPECT_THROW(c.op(rig.samba), SambaError) << c.what;
        EXPECT_EQ(rig.log->timeouts.back(), 1000) << c.what;
    }
}

// Only the erase and the prepare command may stay silent: their window
// (5 s of link time) passes and they count as done.
TEST(SambaExtension, SilenceIsAcceptedOnlyAfterEraseAndPrepare)
{
    struct Case {
        const char* what;
        std::function<void(SimFaults&, uint32_t)> fault;
        Op op;
        bool ok;
        uint64_t waitedMs;
    } cases[] = {
        {"erase", [](SimFaults& f, uint32_t) { f.silentErase = true; },
         [](Samba& s) { EXPECT_TRUE(s.chipErase(0x1000, 0)); }, true, 5000},
        {"prepare", [](SimFaults& f, uint32_t) { f.silentInitD = true; },
         [](Samba& s) { EXPECT_TRUE(s.initD()); }, true, 5000},
        {"copy source", [](SimFaults& f, uint32_t n) { f.dropReplyOf = n; },
         [](Samba& s) { s.writeBuffer(0x20000000, 0x3F000, 64); }, false, 100},
        {"copy", [](SimFaults& f, uint32_t n) { f.dropReplyOf = n + 1; },
         [](Samba& s) { s.writeBuffer(0x20000000, 0x3F000, 64); }, false, 5000},
        {"checksum", [](SimFaults& f, uint32_t n) { f.dropReplyOf = n; },
         [](Samba& s) { s.checksumBuffer(0x3F000, 64); }, false, 5000},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        c.fault(rig.adapter->faults, rig.nextCommand());
        uint64_t start = SimClock::nowUs();
        size_t mark = rig.mark();
        if (c.ok)
            c.op(rig.samba);
        else
            EXPECT_THROW(c.op(rig.samba), SambaError) << c.what;
        EXPECT_EQ((SimClock::nowUs() - start) / 1000, c.waitedMs) << c.what;
        if (c.waitedMs == 100) {
            EXPECT_EQ(rig.sentSince(mark), "Y20000000,0#") << "no copy without the source";
        }
    }
    // The erase still happened.
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.adapter->faults.silentErase = true;
    rig.samba.chipErase(0x3F000, 1);
    EXPECT_EQ(rig.adapter->record.erasedRows.size(), 16u);
}

TEST(SambaExtension, CommandsAreRefusedWithoutTheirFlag)
{
    Samba samba;  // never connected, so no extension is known
    EXPECT_FALSE(samba.chipErase(0x1000, 0));
    EXPECT_FALSE(samba.writeBuffer(0x20000000, 0x1000, 64));
    EXPECT_THROW(samba.checksumBuffer(0x1000, 64), SambaError);
}

TEST(SambaExtension, SettingDumpReadsTheAreaOfTheConnectedChip)
{
    for (uint32_t chip : {device::CHIP_256K, device::CHIP_128K}) {
        SimOptions options;
        options.chipId = chip;
        SimRig rig(options);
        ASSERT_TRUE(rig.connect());
        ASSERT_EQ(chip_id, chip);
        std::vector<uint8_t> buf(4096 + 4, 0xEE);
        size_t before = rig.adapter->record.commands.size();
        EXPECT_TRUE(rig.samba.eepromDump(4096, buf.data()));
        const auto& commands = rig.adapter->record.commands;
        ASSERT_EQ(commands.size() - before, 1024u);
        char first[16], last[16];
        snprintf(first, sizeof(first), "w%08X,4#", device::settingsBase(chip));
        snprintf(last, sizeof(last), "w%08X,4#", device::settingsBase(chip) + 4092);
        EXPECT_EQ(commands[before], first);
        EXPECT_EQ(commands.back(), last);
        EXPECT_TRUE(std::equal(g_myData.begin(), g_myData.end(), buf.begin()));
        EXPECT_EQ(buf[4096], 0xEE);
    }
}

TEST(SambaExtension, SettingDumpStoresOnlyTheBytesAskedFor)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    std::vector<uint8_t> buf(12, 0xEE);
    rig.samba.eepromDump(6, buf.data());
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 6, g_myData.begin()));
    EXPECT_EQ(buf[6], 0xEE);
    EXPECT_EQ(buf[7], 0xEE);
}

}  // namespace
