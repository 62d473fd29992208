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
    rig.adapter->pokeWord(0xFF4, 0x12345678);
    uint8_t buf[64] = {};
    struct Case {
        Op op;
        std::string sent;
    } cases[] = {
        {[](Samba& s) { s.writeByte(0x20000000, 0x05); }, "O20000000,05#"},
        {[](Samba& s) { EXPECT_EQ(s.readByte(0xFF7), 0x12); }, "o00000FF7,4#"},
        {[](Samba& s) { s.writeWord(0x20000010, 0xDEADBEEF); }, "W20000010,DEADBEEF#"},
        {[](Samba& s) { EXPECT_EQ(s.readWord(0xFF4), 0x12345678u); }, "w00000FF4,4#"},
        {[](Samba& s) { EXPECT_EQ(s.readWord(0x20000010), 0xDEADBEEFu); }, "w20000010,4#"},
        {[](Samba& s) { s.version(); }, "V#"},
        {[&](Samba& s) { s.read(0x1000, buf, 48); }, "R00001000,00000030#"},
        {[](Samba& s) { s.chipErase(0x3F000, 1); }, "X0003F000,0#"},
        {[](Samba& s) { s.chipErase(0x1000, 0); }, "X00001000,1#"},
        {[](Samba& s) { s.writeBuffer(0x20000000, 0x3F040, 64); },
         "Y20000000,0#Y0003F040,00000040#"},
        {[](Samba& s) { s.checksumBuffer(0x3F000, 0x1000); }, "Z0003F000,00001000#"},
        {[](Samba& s) { s.initD(); }, "x#"},
        // The monitor stops at a jump; the jump waits for no reply.
        {[](Samba& s) { s.go(0x1000); }, "k1000,#"},
        {[](Samba& s) { s.go(0x20000000); }, "k20000000,#"},
    };
    for (const auto& c : cases) {
        size_t mark = rig.mark();
        c.op(rig.samba);
        EXPECT_EQ(rig.sentSince(mark), c.sent);
    }
    EXPECT_EQ(rig.adapter->ram()[0], 0x05);
    EXPECT_EQ(rig.adapter->record.jumps, std::vector<uint32_t>{0x1000});
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
        {[](Samba& s) { s.readByte(0x20000000); }, false},
        {[](Samba& s) { s.readWord(0x20000000); }, false},
        {[](Samba& s) { s.version(); }, false},
        {[](Samba& s) { s.checksumBuffer(0x1000, 4); }, false},
        {[](Samba& s) { s.go(0x1000); }, true},
    };
    for (bool usb : {true, false}) {
        SimRig rig(withLink(usb ? SimLink::Usb : SimLink::Uart), usbPort(usb));
        ASSERT_TRUE(rig.connect());
        for (const auto& c : cases) {
            size_t flushes = rig.log->flushes.size();
            c.op(rig.samba);
            bool expected = c.flushes && usb;
            ASSERT_EQ(rig.log->flushes.size(), flushes + (expected ? 1 : 0));
            if (expected) {  // right after the command itself
                EXPECT_EQ(rig.log->flushes.back(), rig.mark());
            }
        }
    }
}

TEST(SambaClient, ReplyOrCommandCutShortThrows)
{
    struct Case {
        const char* what;
        std::function<void(SimRig&)> fault;
        Op op;
    } cases[] = {
        {"word reply of 3 bytes",
         [](SimRig& r) {
             r.adapter->faults.shortReplyOf = r.nextCommand();
             r.adapter->faults.shortReplyKeep = 3;
         },
         [](Samba& s) { s.readWord(0xFF4); }},
        {"no word reply", [](SimRig& r) { r.adapter->faults.dropReplyOf = r.nextCommand(); },
         [](Samba& s) { s.readWord(0xFF4); }},
        {"no byte reply", [](SimRig& r) { r.adapter->faults.dropReplyOf = r.nextCommand(); },
         [](Samba& s) { s.readByte(0xFF4); }},
        {"no version reply", [](SimRig& r) { r.adapter->faults.noVersionReply = true; },
         [](Samba& s) { s.version(); }},
        {"11 of 12 bytes taken", [](SimRig& r) { r.port->options().maxWrite = 11; },
         [](Samba& s) { s.readWord(0xFF4); }},
        {"word write cut", [](SimRig& r) { r.port->options().maxWrite = 18; },
         [](Samba& s) { s.writeWord(0x20000000, 1); }},
        {"jump cut", [](SimRig& r) { r.port->options().maxWrite = 6; },
         [](Samba& s) { s.go(0x1000); }},
        {"prepare cut", [](SimRig& r) { r.port->options().maxWrite = 1; },
         [](Samba& s) { s.initD(); }},
        {"byte write not drained", [](SimRig& r) { r.port->options().flushStalls = true; },
         [](Samba& s) { s.writeByte(0x20000000, 1); }},
        {"word write not drained", [](SimRig& r) { r.port->options().flushStalls = true; },
         [](Samba& s) { s.writeWord(0x20000000, 1); }},
        {"jump not drained", [](SimRig& r) { r.port->options().flushStalls = true; },
         [](Samba& s) { s.go(0x1000); }},
        {"block command not drained", [](SimRig& r) { r.port->options().flushStalls = true; },
         [](Samba& s) {
             uint8_t data[64] = {};
             s.write(0x20000000, data, 64);
         }},
        {"raw read cut",
         [](SimRig& r) {
             r.adapter->faults.shortReplyOf = r.nextCommand();
             r.adapter->faults.shortReplyKeep = 40;
         },
         [](Samba& s) {
             uint8_t got[48];
             s.read(0x20000000, got, 48);
         }},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        c.fault(rig);
        EXPECT_THROW(c.op(rig.samba), SambaError) << c.what;
    }
}

TEST(SambaClient, UnsafeRequestsThrowBeforeAnythingIsSent)
{
    Samba unconnected;
    uint8_t buf[4] = {};
    EXPECT_THROW(unconnected.readWord(0), SambaError);
    EXPECT_THROW(unconnected.writeWord(0x20000000, 0), SambaError);
    EXPECT_THROW(unconnected.version(), SambaError);
    EXPECT_THROW(unconnected.write(0x20000000, buf, 4), SambaError);
    EXPECT_THROW(unconnected.initD(), SambaError);

    SimRig rig;
    ASSERT_TRUE(rig.connect());
    size_t mark = rig.mark();
    EXPECT_THROW(rig.samba.write(0x20000000, buf, -1), SambaError);
    EXPECT_THROW(rig.samba.read(0x20000000, buf, -4), SambaError);
    EXPECT_EQ(rig.mark(), mark);
}

TEST(SambaClient, VersionTextEndsAtTheFirstUnprintableByte)
{
    struct Case {
        std::string reply;
        std::string text;
    } cases[] = {
        {"v1.1 VMD\r\n", "v1.1 VMD"}, {"v1.1 VMD", "v1.1 VMD"}, {"\r\nv1.1 VMD", ""},
        {std::string("ab\0cd", 5), "ab"}, {"tab\there", "tab"}, {"high\x80", "high"},
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
        EXPECT_EQ(rig.samba.version().size(), std::min<size_t>(length, 255)) << length;
        EXPECT_EQ(rig.samba.readWord(0xFF4), rig.adapter->peekWord(0xFF4)) << length;
    }
}

// Once switched on, a read that fills its buffer reports 64 bytes more.
class OverclaimingPort : public ScriptPort {
public:
    explicit OverclaimingPort(SimRig& rig) : ScriptPort(rig.adapter, rig.portOptions, rig.log) {}
    int read(uint8_t* data, int size) override
    {
        int n = ScriptPort::read(data, size);
        return overclaim && n == size ? n + 64 : n;
    }
    bool overclaim = false;
};

// A driver that reports more bytes than were asked for is not believed: no
// reply is parsed past its buffer (the sanitizer build catches any read
// beyond), and a fixed-size reply of the wrong count is refused.
TEST(SambaClient, PortReportingMoreThanAskedIsNotBelieved)
{
    SimRig rig;
    auto* port = new OverclaimingPort(rig);
    ASSERT_TRUE(rig.samba.connect(SerialPort::Ptr(port), 115200));
    const uint32_t sum = rig.samba.checksumBuffer(0x1000, 0x100);
    port->overclaim = true;
    EXPECT_EQ(rig.samba.checksumBuffer(0x1000, 0x100), sum);
    EXPECT_TRUE(rig.samba.chipErase(0x3F000, 1));
    EXPECT_TRUE(rig.samba.writeBuffer(0x20000000, 0x3F000, 64));
    EXPECT_TRUE(rig.samba.initD());
    EXPECT_EQ(rig.samba.version(), "v1.1 Mar 12 2019 VMD");
    EXPECT_THROW(rig.samba.readWord(0xFF4), SambaError);
}

TEST(SambaClient, TraceLinesNameTheOperation)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.adapter->pokeWord(0x20000000, 0x11223344);
    rig.adapter->pokeWord(0x3F000, 0x01020304);
    uint8_t buf[4] = {1, 2, 3, 4};
    rig.samba.setDebug(true);
    testing::internal::CaptureStdout();
    rig.samba.writeByte(0x20000004, 0x5);
    rig.samba.readByte(0x20000000);
    rig.samba.writeWord(0x20000008, 0x10);
    rig.samba.readWord(0x20000000);
    rig.samba.version();
    rig.samba.write(0x20000000, buf, 4);
    rig.samba.read(0x20000000, buf, 4);
    rig.samba.checksumBuffer(0x3F000, 4);
    rig.samba.chipErase(0x3F000, 1);
    rig.samba.writeBuffer(0x20000000, 0x3F000, 64);
    rig.samba.initD();
    rig.samba.go(0x1000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "writeByte(addr=0x20000004,value=0x5)\n"
              "readByte(addr=0x20000000)=0x44\n"
              "writeWord(addr=0x20000008,value=0x10)\n"
              "readWord(addr=0x20000000)=0x11223344\n"
              "version()=v1.1 Mar 12 2019 VMD\n"
              "write(addr=0x20000000,size=0x4)\n"
              "read(addr=0x20000000,size=0x4)\n"
              "checksumBuffer(start_addr=0x3f000, size=0x4) = a\n"
              "chipErase(addr=0x3f000)\n"
              "writeBuffer(scr_addr=0x20000000, dst_addr=0x3f000, size=0x40)\n"
              "initD()\n");
}

}  // namespace
