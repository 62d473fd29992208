// The simulated adapter on its own: memory map, flash rules, the boot
// monitor's sessions, records, faults and timing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Checksum.h"
#include "EEPROM_Init.h"
#include "SimAdapter.h"
#include "ChildProcess.h"

namespace {

// Sends text at `now` and returns every reply byte ready by then.
std::string talk(SimAdapter& adapter, const std::string& text, uint64_t now = 0)
{
    adapter.receive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), now);
    std::string out(adapter.pending(now), '\0');
    adapter.take(reinterpret_cast<uint8_t*>(&out[0]), out.size(), now);
    return out;
}

std::string word(uint32_t value)
{
    std::string bytes;
    for (int i = 0; i < 4; i++)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
}

TEST(SimAdapter, MemoryMapOfBothChips)
{
    for (uint32_t chip : {device::CHIP_256K, device::CHIP_128K}) {
        SimOptions options;
        options.chipId = chip;
        options.idExtraBits = 0x7;
        SimAdapter adapter(options);
        uint32_t base = device::settingsBase(chip);
        const auto& flash = adapter.flash();
        ASSERT_EQ(flash.size(), chip == device::CHIP_128K ? 0x20000u : 0x40000u);
        EXPECT_NE(adapter.peekWord(0) >> 24, 0xEAu);
        EXPECT_EQ(adapter.peekWord(device::CPUID_ADDR), 0x410CC601u);
        EXPECT_EQ(adapter.peekWord(device::DSU_DID_ADDR), chip | 0x7000);
        EXPECT_EQ(adapter.peekWord(0xFF4), 0x00450203u);
        EXPECT_EQ(adapter.peekWord(0xFF8), 0x32314241u);
        EXPECT_EQ(adapter.peekWord(0xFFC), 0x36353433u);
        EXPECT_EQ(adapter.peekWord(base - 16), 0x0A030105u);
        EXPECT_EQ(adapter.peekWord(base - 12), 0x00004502u);
        EXPECT_TRUE(std::equal(g_myData.begin(), g_myData.end(), flash.begin() + base));

        size_t erasedInBootloader = 0;
        for (uint32_t a = 0; a < device::BOOTLOADER_END; a++)
            erasedInBootloader += flash[a] == 0xFF;
        EXPECT_LT(erasedInBootloader, 64u) << "the bootloader page holds code";
        for (uint32_t a = device::FIRMWARE_BASE; a < base - 16; a++)
            ASSERT_EQ(flash[a], 0xFF) << std::hex << a;
        EXPECT_GE(adapter.ram().size(), 0x10000u);
    }
    SimOptions options;
    options.hardwareVersion = 0x1234;
    options.typeLetter = 'N';
    options.serial = "ZY98";
    SimAdapter adapter(options);
    EXPECT_EQ(adapter.peekWord(0xFF4), 0x004E1234u);
    EXPECT_EQ(adapter.peekWord(0xFF8), 0x3839595Au);
    EXPECT_EQ(adapter.peekWord(0xFFC), 0u) << "a short serial is padded with zeros";
}

// Real adapters run their firmware after a restart; only a new boot of the
// simulator brings its monitor back.
TEST(SimAdapter, SilentAfterRestartStaysSilentThroughReconnects)
{
    for (std::string stop : {"k1000,#", "WE000ED0C,05FA0004#"}) {
        SimAdapter adapter;
        adapter.faults.silentAfterRestart = true;
        EXPECT_EQ(talk(adapter, "w00000FF4,4#", 10), word(0x00450203)) << "answers until then";
        talk(adapter, stop, 20);
        adapter.hostOpened(115200, 1000000);
        EXPECT_EQ(talk(adapter, "w00000FF4,4#V#", 2000000), "") << stop;
        EXPECT_TRUE(adapter.stopped(3000000));
    }
}

TEST(SimAdapter, DecodingMonitorChangesOnlyWhatIsCopiedAfterInitD)
{
    SimAdapter adapter;
    adapter.faults.xorAfterInitD = 0x5A;
    adapter.ram()[0] = 0xF0;
    talk(adapter, "Y20000000,0#Y00002000,00000001#");
    EXPECT_EQ(adapter.flash()[0x2000], 0xF0) << "before x# it stores what it gets";
    EXPECT_EQ(talk(adapter, "x#Y00002001,00000001#"), "x\n\rY\n\r");
    EXPECT_EQ(adapter.flash()[0x2001], 0xF0 ^ 0x5A);
    adapter.hostOpened(115200, 1);
    talk(adapter, "Y00002002,00000001#", 1);
    EXPECT_EQ(adapter.flash()[0x2002], 0xF0) << "a new connection starts undecoded";
}

TEST(SimAdapter, FlashBehavesAsNor)
{
    SimAdapter adapter;
    adapter.ram()[0] = 0xF0;
    adapter.ram()[1] = 0x3C;
    EXPECT_EQ(talk(adapter, "Y20000000,0#Y00002000,00000002#"), "Y\n\rY\n\r");
    EXPECT_EQ(adapter.flash()[0x2000], 0xF0);
    adapter.ram()[0] = 0x0F;
    adapter.ram()[1] = 0xFF;
    talk(adapter, "Y00002000,00000002#");
    EXPECT_EQ(adapter.flash()[0x2000], 0x00) << "a write can only clear bits";
    EXPECT_EQ(adapter.flash()[0x2001], 0x3C);
    // An erase works on whole rows, down to the row's start.
    adapter.flash()[0x20FF] = 0x00;
    adapter.flash()[0x2100] = 0x00;
    EXPECT_EQ(talk(adapter, "X00002010,1#"), "X\n\r");
    EXPECT_EQ(adapter.flash()[0x2000], 0xFF);
    EXPECT_EQ(adapter.flash()[0x20FF], 0xFF);
    EXPECT_EQ(adapter.record.erasedRows.front(), 0x2000u);
    // A copy across a page boundary writes both pages, and only the range.
    talk(adapter, "Y00002030,00000050#");
    EXPECT_EQ(adapter.record.writtenPages,
              (std::vector<uint32_t>{0x2000, 0x2000, 0x2000, 0x2040}));
    EXPECT_EQ(adapter.flash()[0x202F], 0xFF);
    EXPECT_EQ(adapter.flash()[0x2030], 0x0F);
    EXPECT_EQ(adapter.flash()[0x207F], 0x00);
    EXPECT_EQ(adapter.flash()[0x2080], 0xFF);
}

// The bootloader is protected: attempts are recorded, nothing changes.
TEST(SimAdapter, BootloaderIsNeverChangedAndEveryAttemptIsRecorded)
{
    struct Case {
        std::string commands;
        std::vector<uint32_t> touches;
    } cases[] = {
        {"X00000F00,1#", {0xF00}},
        {"W00000100,00000000#", {0x100}},
        {"O00000FF4,00#", {0xFF4}},
        {"Y20000000,0#Y00000FC0,00000080#", {0xFC0}},
        {"S00000FF0,00000004#\1\2\3\4", {0xFF0}},
        {"X00001000,1#W20000000,00000000#S00001000,00000004#abcd", {}},
    };
    for (const auto& c : cases) {
        SimAdapter adapter;
        std::vector<uint8_t> before = adapter.flash();
        talk(adapter, c.commands);
        EXPECT_EQ(adapter.record.bootloaderTouches, c.touches) << c.commands;
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x1000, adapter.flash().begin()))
            << c.commands;
    }
    SimAdapter adapter;
    talk(adapter, "X00000000,1#");
    EXPECT_EQ(adapter.record.bootloaderTouches.size(), 16u);
}

TEST(SimAdapter, RepliesHaveTheirExactLengths)
{
    SimAdapter adapter;
    struct Case {
        std::string command;
        size_t length;
    } cases[] = {
        {"w00000FF4,4#", 4}, {"o00000FF4,4#", 1}, {"W20000000,00000001#", 0},
        {"O20000000,01#", 0}, {"V#", 22},          {"X0003F000,0#", 3},
        {"Y20000000,0#", 3}, {"Y0003F000,00000040#", 3}, {"Z00001000,00000010#", 9},
        {"x#", 3},           {"R20000000,00000005#", 5}, {"N#", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(talk(adapter, c.command).size(), c.length) << c.command;
}

TEST(SimAdapter, ChecksumIsTheSharedByteSum)
{
    SimAdapter adapter;
    uint32_t sum = adapterChecksum(adapter.flash().data() + 0x3F000, 0x1000);
    char expected[16];
    snprintf(expected, sizeof(expected), "Z%08X", sum);
    EXPECT_EQ(talk(adapter, "Z0003F000,00001000#"), expected);
    // A range running past the end of flash sums what is there.
    EXPECT_EQ(talk(adapter, "Z0003F000,10000000#"), expected);
}

TEST(SimAdapter, MalformedCommandsAreRecordedButNotAnswered)
{
    SimAdapter adapter;
    for (std::string text : {"w#", "w,4#", "w123456789,4#", "Q#", "W20000000#", "V1#", "#"})
        EXPECT_EQ(talk(adapter, text), "") << text;
    // Line noise without a terminator does not spoil the next command.
    EXPECT_EQ(talk(adapter, std::string(100, 'q') + "w00000FF4,4#"), word(0x00450203));
    EXPECT_EQ(adapter.record.commands.size(), 8u);
    // A command hit by noise is lost, the next one is heard.
    EXPECT_EQ(talk(adapter, "w0000\x11w00000FF8,4#"), word(0x32314241));
}

TEST(SimAdapter, UartLinkIsDeafUntilAutoBaud)
{
    SimOptions options;
    options.link = SimLink::Uart;
    SimAdapter adapter(options);
    adapter.hostOpened(115200, 0);
    EXPECT_EQ(talk(adapter, "w00000FF4,4#"), "");
    EXPECT_EQ(talk(adapter, "\x80"), "");
    EXPECT_EQ(talk(adapter, "\x80#"), "\n\r>");
    EXPECT_EQ(talk(adapter, "w00000FF4,4#"), word(0x00450203));
    EXPECT_EQ(adapter.record.commands, std::vector<std::string>{"w00000FF4,4#"});
    EXPECT_EQ(talk(adapter, "\x80\x80#"), "\n\r>") << "in step already: a new prompt";
    EXPECT_EQ(adapter.record.commands.size(), 1u);
    adapter.hostOpened(115200, 10);
    EXPECT_EQ(talk(adapter, "w00000FF4,4#", 10), "") << "a new connection syncs again";
}

TEST(SimAdapter, JumpOrResetStopsTheMonitorUntilItBootsAgain)
{
    for (SimLink link : {SimLink::Usb, SimLink::Uart}) {
        for (std::string stop : {"k1000,#", "WE000ED0C,05FA0004#"}) {
            SimOptions options;
            options.link = link;
            SimAdapter adapter(options);
            std::string sync = link == SimLink::Uart ? "\x80\x80#" : "";
            talk(adapter, sync, 1000);
            talk(adapter, stop, 1000);
            EXPECT_TRUE(adapter.stopped(1000));
            EXPECT_EQ(talk(adapter, sync + "w00000FF4,4#", 1000 + 49999), "");
            // Back on its own after the reboot delay, as a fresh monitor.
            EXPECT_FALSE(adapter.stopped(1000 + 50000));
            EXPECT_EQ(talk(adapter, sync, 60000), sync.empty() ? "" : "\n\r>");
            EXPECT_EQ(talk(adapter, "w00000FF4,4#", 60000), word(0x00450203)) << stop;
            // A new connection brings it back at once.
            talk(adapter, stop, 70000);
            adapter.hostOpened(115200, 70001);
            EXPECT_EQ(talk(adapter, sync + "w00000FF4,4#", 70001), sync.empty()
                          ? word(0x00450203) : "\n\r>" + word(0x00450203));
        }
    }
    SimAdapter adapter;
    talk(adapter, "WE000ED0C,05FA0004#k1000,#WE000ED0C,12345678#");
    EXPECT_EQ(adapter.record.resets, 1u);
    EXPECT_TRUE(adapter.record.jumps.empty()) << "a stopped monitor hears nothing";
    adapter.hostOpened(115200, 1);
    talk(adapter, "WE000ED0C,12345678#k20000000,#", 1);
    EXPECT_EQ(adapter.record.resets, 1u) << "without the key no reset";
    EXPECT_EQ(adapter.record.jumps, std::vector<uint32_t>{0x20000000});
}

TEST(SimAdapter, ReplyFaultsCountCommandsSinceTheConnection)
{
    SimAdapter adapter;
    adapter.faults.dropReplyOf = 2;
    adapter.faults.wrongLetterOf = 3;
    adapter.faults.shortReplyOf = 4;
    adapter.faults.shortReplyKeep = 5;
    EXPECT_EQ(talk(adapter, "x#"), "x\n\r");
    EXPECT_EQ(talk(adapter, "x#"), "");
    EXPECT_EQ(talk(adapter, "x#"), "X\n\r");
    EXPECT_EQ(talk(adapter, "Z00001000,00000004#"), "Z0000");
    adapter.hostOpened(115200, 0);
    EXPECT_EQ(talk(adapter, "x#"), "x\n\r");
    EXPECT_EQ(talk(adapter, "x#"), "") << "counting restarts with the connection";
}

TEST(SimAdapter, GoneDeviceHearsNothingMore)
{
    SimAdapter adapter;
    adapter.faults.goneAfter = 2;
    EXPECT_EQ(talk(adapter, "w00000FF4,4#").size(), 4u);
    EXPECT_EQ(talk(adapter, "w00000FF4,4#").size(), 4u);
    EXPECT_EQ(talk(adapter, "w00000FF4,4#"), "");
    EXPECT_EQ(adapter.record.exchanges, 2u);
    EXPECT_EQ(adapter.record.commands.size(), 2u);
}

TEST(SimAdapter, TransferTheHostAbandonsEndsAfterTenSecondsOfQuiet)
{
    SimAdapter adapter;
    talk(adapter, "S20000000,00000010#abc", 0);
    EXPECT_EQ(talk(adapter, "w00000FF4,4#", 9000000), "") << "still taking data";
    EXPECT_EQ(adapter.ram()[3], 'w');
    EXPECT_EQ(talk(adapter, "w00000FF4,4#", 20000000), word(0x00450203));
}

TEST(SimAdapter, TimingDelaysReplies)
{
    SimAdapter adapter;
    adapter.timing.replyUs = 200;
    adapter.timing.rowEraseUs = 1000;
    adapter.timing.pageWriteUs = 50;
    adapter.receive(reinterpret_cast<const uint8_t*>("x#"), 2, 100);
    EXPECT_EQ(adapter.pending(299), 0u);
    EXPECT_EQ(adapter.nextReadyUs(), 300u);
    EXPECT_EQ(adapter.pending(300), 3u);
    uint8_t buf[8];
    adapter.take(buf, sizeof(buf), 300);
    EXPECT_EQ(adapter.nextReadyUs(), SimAdapter::NEVER);

    adapter.receive(reinterpret_cast<const uint8_t*>("X0003F000,0#"), 12, 1000);
    EXPECT_EQ(adapter.nextReadyUs(), 1000u + 16 * 1000 + 200);
    adapter.take(buf, sizeof(buf), 100000);
    adapter.receive(reinterpret_cast<const uint8_t*>("Y0003F000,00000080#"), 19, 100000);
    EXPECT_EQ(adapter.nextReadyUs(), 100000u + 2 * 50 + 200);

    SimOptions options;
    options.link = SimLink::Uart;
    SimAdapter uart(options);
    uart.timing.uartByteTime = true;
    uart.hostOpened(100000, 0);  // 100 us per byte, either way
    uart.receive(reinterpret_cast<const uint8_t*>("\x80\x80#"), 3, 0);
    EXPECT_EQ(uart.pending(599), 2u);
    EXPECT_EQ(uart.pending(600), 3u);
    // A page write waits for the whole command to come in.
    uart.take(buf, sizeof(buf), 600);
    uart.timing.replyUs = 200;
    uart.timing.pageWriteUs = 50;
    uart.receive(reinterpret_cast<const uint8_t*>("Y0003F000,00000040#"), 19, 1000);
    EXPECT_EQ(uart.nextReadyUs(), 1000u + 19 * 100 + 50 + 200 + 100);
    EXPECT_EQ(uart.record.bytesIn, 3u + 19);
    EXPECT_EQ(uart.record.bytesOut, 3u + 3);
    EXPECT_EQ(uart.record.replies, 2u);
}

TEST(SimAdapter, FlashImageSavesAndLoads)
{
    std::string path = testing::TempDir() + "sim_flash.bin";
    SimAdapter first;
    first.flash()[0x2345] = 0x42;
    ASSERT_TRUE(first.saveFlash(path));
    SimAdapter second;
    ASSERT_TRUE(second.loadFlash(path));
    EXPECT_EQ(second.flash(), first.flash());

    SimOptions small;
    small.chipId = device::CHIP_128K;
    SimAdapter other(small);
    EXPECT_FALSE(other.loadFlash(path)) << "an image of the other chip's size";
    EXPECT_FALSE(other.loadFlash(path + ".missing"));
    std::remove(path.c_str());
}

}  // namespace

// Served on a terminal: --link-path may replace a link left by an earlier
// run, never a file of the user's, and goes when the serving ends.
TEST(SimServe, TheLinkReplacesOnlyALinkAndGoesAfterTheServing)
{
    const std::string dir = testing::TempDir() + "sim-link-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    const std::string path = dir + "/port";
    struct Case {
        const char* before;  // "none", "link" (stale), "file"
        int status;          // 0: the command saw the link to its terminal
        const char* after;   // what path is once tarvo-sim ended
    };
    for (const Case& c : {Case{"none", 0, "none"}, Case{"link", 0, "none"},
                          Case{"file", 1, "file"}}) {
        SCOPED_TRACE(c.before);
        unlink(path.c_str());
        if (std::string(c.before) == "link") {
            ASSERT_EQ(symlink("/nonexistent/old-terminal", path.c_str()), 0);
        }
        if (std::string(c.before) == "file") {
            FILE* f = fopen(path.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs("the user's own", f);
            fclose(f);
        }
        // The command sees the link to the very terminal it is given.
        ProcessResult run = runProcess({binPath("tarvo-sim"), "--link-path=" + path, "--", "sh",
                                        "-c", "test \"$(readlink " + path + ")\" = \"$0\"", "{}"},
                                       20000);
        EXPECT_EQ(run.status, c.status) << run.err;
        struct stat st;
        const bool exists = lstat(path.c_str(), &st) == 0;
        if (std::string(c.after) == "none") {
            EXPECT_FALSE(exists);
        } else {
            ASSERT_TRUE(exists && S_ISREG(st.st_mode));
            FILE* f = fopen(path.c_str(), "r");
            char text[32] = {};
            ASSERT_NE(f, nullptr);
            EXPECT_NE(fgets(text, sizeof(text), f), nullptr);
            fclose(f);
            EXPECT_STREQ(text, "the user's own");
        }
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
}
