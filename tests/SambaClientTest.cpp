// The monitor client's command channel: exact command bytes, replies,
// the flush rule, the version query and the trace.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "SimRig.h"

namespace {

using Op = std::function<void(Samba&)>;

TEST(SambaClient, EveryCommandGoesOutExactlyAsFormatted)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    uint8_t buf[64] = {};
    struct Case {
        Op op;
        std::string sent;
    } cases[] = {
        {[](Samba& s) { s.writeByte(0x20000000, 0x05); }, "O20000000,05#"},
        {[](Samba& s) { s.readByte(0xFF4); }, "o00000FF4,4#"},
        {[](Samba& s) { s.writeWord(0x20000010, 0xDEADBEEF); }, "W20000010,DEADBEEF#"},
        {[](Samba& s) { s.readWord(0xFF4); }, "w00000FF4,4#"},
        {[](Samba& s) { s.readWord(0xE000ED00); }, "wE000ED00,4#"},
        {[](Samba& s) { s.version(); }, "V#"},
        {[&](Samba& s) { s.read(0x1000, buf, 48); }, "R00001000,00000030#"},
        {[](Samba& s) { s.chipErase(0x3F000, 1); }, "X0003F000,0#"},
        {[](Samba& s) { s.chipErase(0x1000, 0); }, "X00001000,1#"},
        {[](Samba& s) { s.writeBuffer(0x20000000, 0x3F040, 64); },
         "Y20000000,0#Y0003F040,00000040#"},
        {[](Samba& s) { s.checksumBuffer(0x3F000, 0x1000); }, "Z0003F000,00001000#"},
        {[](Samba& s) { s.initD(); }, "x#"},
    };
    for (const auto& c : cases) {
        size_t mark = rig.mark();
        c.op(rig.samba);
        EXPECT_EQ(rig.sentSince(mark), c.sent);
    }
}

TEST(SambaClient, JumpAddressHasNoLeadingZeros)
{
    for (auto c : {std::make_pair(0x1000u, std::string("k1000,#")),
                   std::make_pair(0x20000000u, std::string("k20000000,#"))}) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        size_t mark = rig.mark();
        rig.samba.go(c.first);
        EXPECT_EQ(rig.sentSince(mark), c.second);
        EXPECT_EQ(rig.adapter->record.jumps, std::vector<uint32_t>{c.first});
    }
}

TEST(SambaClient, WordsAreLittleEndianBothWays)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.adapter->pokeWord(0xFF4, 0x12345678);
    EXPECT_EQ(rig.samba.readWord(0xFF4), 0x12345678u);
    EXPECT_EQ(rig.samba.readByte(0xFF4), 0x78);
    EXPECT_EQ(rig.samba.readByte(0xFF7), 0x12);

    rig.samba.writeWord(0x20000100, 0xA1B2C3D4);
    rig.samba.writeByte(0x20000104, 0x5E);
    EXPECT_EQ(rig.adapter->ram()[0x100], 0xD4);
    EXPECT_EQ(rig.adapter->ram()[0x103], 0xA1);
    EXPECT_EQ(rig.adapter->ram()[0x104], 0x5E);
    EXPECT_EQ(rig.samba.readWord(0x20000100), 0xA1B2C3D4u);
}

// On USB the commands without a reply are followed by a flush; reads and
// the version query are not. A plain line never flushes.
TEST(SambaClient, FlushFollowsOnlyReplylessCommandsOnUsb)
{
    struct Case {
        Op op;
        bool flushes;
    } cases[] = {
        {[](Samba& s) { s.writeByte(0x20000000, 1); }, true},
        {[](Samba& s) { s.writeWord(0x20000000, 1); }, true},
        {[](Samba& s) { s.go(0x1000); }, true},
        {[](Samba& s) { s.readByte(0x20000000); }, false},
        {[](Samba& s) { s.readWord(0x20000000); }, false},
        {[](Samba& s) { s.version(); }, false},
        {[](Samba& s) { s.checksumBuffer(0x1000, 4); }, false},
    };
    for (SimLink link : {SimLink::Usb, SimLink::Uart}) {
        for (const auto& c : cases) {
            SimOptions options;
            options.link = link;
            SimPortOptions portOptions;
            portOptions.usb = link == SimLink::Usb;
            SimRig rig(options, portOptions);
            ASSERT_TRUE(rig.connect());
            size_t flushes = rig.log->flushes.size();
            size_t mark = rig.mark();
            c.op(rig.samba);
            bool expected = c.flushes && link == SimLink::Usb;
            ASSERT_EQ(rig.log->flushes.size(), flushes + (expected ? 1 : 0));
            if (expected) {  // right after the command itself
                EXPECT_EQ(rig.log->flushes.back(), rig.mark());
            }
            EXPECT_GT(rig.mark(), mark);
        }
    }
}

TEST(SambaClient, ShortOrMissingRepliesThrow)
{
    struct Case {
        const char* what;
        uint32_t faultCommand;  // counted from the first command after connect
        Op op;
    } cases[] = {
        {"readWord cut to 3 bytes", 1, [](Samba& s) { s.readWord(0xFF4); }},
        {"readWord dropped", 0, [](Samba& s) { s.readWord(0xFF4); }},
        {"readByte dropped", 0, [](Samba& s) { s.readByte(0xFF4); }},
        {"version dropped", 0, [](Samba& s) { s.version(); }},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        uint32_t next = static_cast<uint32_t>(rig.adapter->record.commands.size()) + 1;
        if (c.faultCommand) {
            rig.adapter->faults.shortReplyOf = next;
            rig.adapter->faults.shortReplyKeep = 3;
        } else {
            rig.adapter->faults.dropReplyOf = next;
        }
        EXPECT_THROW(c.op(rig.samba), SambaError) << c.what;
    }
}

TEST(SambaClient, PortTakingPartOfACommandThrows)
{
    struct Case {
        const char* what;
        Op op;
    } cases[] = {
        {"readWord", [](Samba& s) { s.readWord(0xFF4); }},
        {"readByte", [](Samba& s) { s.readByte(0xFF4); }},
        {"writeWord", [](Samba& s) { s.writeWord(0x20000000, 1); }},
        {"go", [](Samba& s) { s.go(0x1000); }},
        {"initD", [](Samba& s) { s.initD(); }},
        {"checksumBuffer", [](Samba& s) { s.checksumBuffer(0x1000, 4); }},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        rig.port->options().maxWrite = 1;
        EXPECT_THROW(c.op(rig.samba), SambaError) << c.what;
    }
    // One byte short of a word read.
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.port->options().maxWrite = 11;
    EXPECT_THROW(rig.samba.readWord(0xFF4), SambaError);
}

TEST(SambaClient, CommandsWithoutAConnectionThrow)
{
    Samba samba;
    uint8_t buf[4];
    EXPECT_THROW(samba.readWord(0), SambaError);
    EXPECT_THROW(samba.writeWord(0x20000000, 0), SambaError);
    EXPECT_THROW(samba.version(), SambaError);
    EXPECT_THROW(samba.write(0x20000000, buf, 4), SambaError);
    EXPECT_THROW(samba.chipId(), SambaError);
    EXPECT_THROW(samba.initD(), SambaError);
}

TEST(SambaClient, VersionTextEndsAtTheFirstUnprintableByte)
{
    struct Case {
        std::string reply;
        std::string text;
    } cases[] = {
        {"v1.1 VMD\r\n", "v1.1 VMD"},
        {"v1.1 VMD", "v1.1 VMD"},
        {"\r\nv1.1 VMD", ""},
        {std::string("ab\0cd", 5), "ab"},
        {"tab\there", "tab"},
        {"high\x80", "high"},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        rig.port->script(c.reply);
        EXPECT_EQ(rig.samba.version(), c.text);
        EXPECT_EQ(rig.log->timeouts.back(), 1000);
    }
}

// A reply that fills the 255-byte buffer is read whole and the rest is
// drained, so the next reply is not taken from the version text.
TEST(SambaClient, OverlongVersionReplyDoesNotShiftTheNextReply)
{
    for (size_t length : {254u, 255u, 256u, 400u, 1200u}) {
        SimOptions options;
        options.versionText = "VMD " + std::string(length - 4, 'x');
        SimRig rig(options);
        ASSERT_TRUE(rig.connect()) << length;
        std::string text = rig.samba.version();
        EXPECT_EQ(text.size(), std::min<size_t>(length, 255)) << length;
        EXPECT_EQ(text.substr(0, 4), "VMD ");
        EXPECT_EQ(rig.samba.readWord(0xFF4), rig.adapter->peekWord(0xFF4)) << length;
    }
}

TEST(SambaClient, TraceLinesNameTheOperation)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.adapter->pokeWord(0x20000000, 0x11223344);
    uint8_t buf[4] = {1, 2, 3, 4};
    rig.samba.setDebug(true);
    testing::internal::CaptureStdout();
    rig.samba.writeByte(0x20000004, 0x5);
    rig.samba.readByte(0x20000000);
    rig.samba.writeWord(0x20000008, 0x10);
    rig.samba.readWord(0x20000000);
    rig.samba.go(0x20000000);
    std::string out = testing::internal::GetCapturedStdout();
    rig.adapter->hostOpened(115200, SimClock::nowUs());  // the jump stopped it
    testing::internal::CaptureStdout();
    rig.samba.version();
    rig.samba.write(0x20000000, buf, 4);
    rig.samba.read(0x20000000, buf, 4);
    rig.samba.chipErase(0x3F000, 1);
    rig.samba.writeBuffer(0x20000000, 0x3F000, 64);
    uint32_t sum = rig.samba.checksumBuffer(0x3F000, 4);
    rig.samba.initD();
    out += testing::internal::GetCapturedStdout();
    char sumText[16];
    snprintf(sumText, sizeof(sumText), "%x", sum);
    EXPECT_EQ(out, "writeByte(addr=0x20000004,value=0x5)\n"
                   "readByte(addr=0x20000000)=0x44\n"
                   "writeWord(addr=0x20000008,value=0x10)\n"
                   "readWord(addr=0x20000000)=0x11223344\n"
                   "version()=v1.1 Mar 12 2019 VMD\n"
                   "write(addr=0x20000000,size=0x4)\n"
                   "read(addr=0x20000000,size=0x4)\n"
                   "chipErase(addr=0x3f000)\n"
                   "writeBuffer(scr_addr=0x20000000, dst_addr=0x3f000, size=0x40)\n"
                   "checksumBuffer(start_addr=0x3f000, size=0x4) = " +
                       std::string(sumText) +
                       "\n"
                       "initD()\n");
}

}  // namespace
