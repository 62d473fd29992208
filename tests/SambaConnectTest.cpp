// Connecting: line speeds and auto-baud, the vendor tag, chip
// identification and its gate, reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SimRig.h"

namespace {

// The speeds tried, the auto-baud bytes and the transfer mode, by port kind
// and adapter link.
TEST(SambaConnect, SpeedsAutoBaudAndTransferModeFollowPortAndLink)
{
    struct Case {
        bool usbPort;
        SimLink link;
        std::vector<int> opens;
        bool xmodem;
    } cases[] = {
        {true, SimLink::Usb, {921600}, false},
        {true, SimLink::Uart, {921600, 115200}, true},
        {false, SimLink::Uart, {115200}, true},
    };
    for (const auto& c : cases) {
        SimRig rig(withLink(c.link), usbPort(c.usbPort));
        ASSERT_TRUE(rig.connect());
        EXPECT_EQ(rig.log->opens, c.opens);
        EXPECT_EQ(rig.log->closes, c.opens.size() - 1);
        EXPECT_EQ(rig.log->timeouts.front(), 100);
        EXPECT_EQ(rig.log->timeouts.back(), 1000);
        std::string sent = rig.sentSince(0);
        size_t autoBaud = sent.find("\x80\x80#");
        if (c.xmodem) {
            ASSERT_NE(autoBaud, std::string::npos);
            EXPECT_EQ(sent.substr(autoBaud + 3, 12), "w00000000,4#");
        } else {
            EXPECT_EQ(autoBaud, std::string::npos);
        }
        if (c.usbPort) {
            EXPECT_EQ(sent.find("w00000000,4#"), 0u) << "full speed first, without auto-baud";
        }

        uint8_t data[4] = {9, 8, 7, 6};
        size_t mark = rig.mark();
        rig.samba.write(0x20000000, data, 4);
        EXPECT_EQ(rig.log->sent[mark + 19], c.xmodem ? 0x01 : 0x09);
        EXPECT_EQ(rig.adapter->ram()[3], 6);
    }
}

TEST(SambaConnect, VendorTagAnywhereInTheVersionButOnlyInCapitals)
{
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {
        {"VMD\n\r", true},
        {"v1.1 Mar 12 2019 VMD\n\r", true},
        {"xVMDx", true},
        {"vmd v1.1\n\r", false},
        {"VMd\n\r", false},
        {"V M D\n\r", false},
        {"v1.1\n\rVMD", false},  // after the line end: not part of the text
        {"\n\r", false},
    };
    for (const auto& c : cases) {
        SimOptions options;
        options.versionText = c.text;
        SimRig rig(options);
        EXPECT_EQ(rig.connect(), c.ok) << c.text;
        EXPECT_EQ(rig.samba.isConnected(), c.ok) << c.text;
    }
}

TEST(SambaConnect, ChipGateIgnoresBits12To15Only)
{
    struct Case {
        uint32_t chip;
        uint32_t extraBits;
        bool ok;
    } cases[] = {
        {0x1001030A, 0x0, true},   {0x1001030A, 0xF, true},   {0x1001030B, 0x5, true},
        {0x1001020A, 0x0, false},  {0x1001030C, 0x0, false},  {0x10010309, 0x0, false},
        {0x2001030A, 0x0, false},  {0x1001031A, 0x0, false},
    };
    for (const auto& c : cases) {
        SimOptions options;
        options.chipId = c.chip;
        options.idExtraBits = c.extraBits;
        SimRig rig(options);
        chip_id = 0;
        EXPECT_EQ(rig.connect(), c.ok) << std::hex << c.chip;
        EXPECT_EQ(chip_id, c.ok ? c.chip : 0u) << std::hex << c.chip;
        if (c.ok) {
            EXPECT_EQ(rig.samba.chipId(), c.chip);
        } else {
            EXPECT_FALSE(rig.samba.isConnected());
            EXPECT_EQ(rig.log->closes, rig.log->opens.size());
        }
    }
}

TEST(SambaConnect, IdentificationPathsOfOtherFamilies)
{
    {
        SimRig rig;  // an ARM7-type vector table
        rig.adapter->pokeWord(0, 0xEA000010);
        EXPECT_FALSE(rig.connect());
        EXPECT_TRUE(rig.commandSeen("wFFFFF240,4#"));
        EXPECT_FALSE(rig.commandSeen("wE000ED00,4#"));
    }
    {
        SimOptions options;  // another Cortex-M
        options.cpuId = 0x410FC241;
        SimRig rig(options);
        EXPECT_FALSE(rig.connect());
        EXPECT_TRUE(rig.commandSeen("w400E0740,4#"));
        EXPECT_TRUE(rig.commandSeen("w400E0940,4#"));
        EXPECT_FALSE(rig.commandSeen("w41002018,4#"));
    }
}

TEST(SambaConnect, PortsThatDoNotAnswerFailAndAreDropped)
{
    struct Case {
        const char* what;
        SimPortOptions port;
        bool adapter;
        size_t opens;
    } cases[] = {
        {"port that does not open", [] { SimPortOptions o; o.opens = false; return o; }(), true, 0},
        {"silent USB line", usbPort(true), false, 2},
        {"silent plain line", usbPort(false), false, 1},
    };
    for (const auto& c : cases) {
        SimRig rig(SimOptions(), c.port);
        if (!c.adapter)
            rig.adapter = nullptr;
        EXPECT_FALSE(rig.connect()) << c.what;
        EXPECT_FALSE(rig.samba.isConnected()) << c.what;
        EXPECT_EQ(rig.log->opens.size(), c.opens) << c.what;
        EXPECT_EQ(rig.log->closes, c.opens) << c.what;
    }
    Samba samba;
    EXPECT_FALSE(samba.connect(nullptr, 115200));
}

// Only the identifier reads are guarded: a monitor silent to "V#" makes
// connect throw, with the port still held.
TEST(SambaConnect, SilenceAfterVersionQueryEscapesConnect)
{
    SimRig rig;
    rig.adapter->faults.noVersionReply = true;
    EXPECT_THROW(rig.connect(), SambaError);
    EXPECT_TRUE(rig.samba.isConnected());
}

TEST(SambaConnect, TraceOfAConnection)
{
    struct Case {
        SimLink link;
        uint32_t chip;
        std::string trace;
    } cases[] = {
        {SimLink::Uart, 0x1001030B,
         "Send auto-baud\n"
         "readWord(addr=0)=0x20002000\n"
         "readWord(addr=0xe000ed00)=0x410cc601\n"
         "readWord(addr=0x41002018)=0x1001030b\n"
         "version()=v1.1 Mar 12 2019 VMD\n"
         "chipId=0x1001030b\n"
         "Connected at 115200 baud\n"},
        {SimLink::Usb, 0x1001030C,
         "readWord(addr=0)=0x20002000\n"
         "readWord(addr=0xe000ed00)=0x410cc601\n"
         "readWord(addr=0x41002018)=0x1001030c\n"
         "version()=v1.1 Mar 12 2019 VMD\n"
         "chipId=0x1001030c\n"
         "Unsupported processor\n"
         "Send auto-baud\n"
         "readWord(addr=0)=0x20002000\n"
         "readWord(addr=0xe000ed00)=0x410cc601\n"
         "readWord(addr=0x41002018)=0x1001030c\n"
         "version()=v1.1 Mar 12 2019 VMD\n"
         "chipId=0x1001030c\n"
         "Unsupported processor\n"},
    };
    for (const auto& c : cases) {
        SimOptions options;
        options.link = c.link;
        options.chipId = c.chip;
        SimRig rig(options);
        rig.samba.setDebug(true);
        testing::internal::CaptureStdout();
        rig.connect();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.trace);
    }
}

// Records, for every open, how long after it the host first wrote; the
// record outlives the port, which a failed connect drops.
class TimedPort : public ScriptPort {
public:
    TimedPort(SimRig& rig, std::vector<uint64_t>& firstWriteAfterUs)
        : ScriptPort(rig.adapter, rig.portOptions, rig.log), _firstWriteAfterUs(firstWriteAfterUs)
    {
    }
    bool open(int baud, int data, Parity parity, StopBit stop) override
    {
        bool ok = ScriptPort::open(baud, data, parity, stop);
        if (ok)
            _openedUs = SimClock::nowUs();
        _written = !ok;
        return ok;
    }
    int write(const uint8_t* data, int size) override
    {
        if (!_written)
            _firstWriteAfterUs.push_back(SimClock::nowUs() - _openedUs);
        _written = true;
        return ScriptPort::write(data, size);
    }
private:
    std::vector<uint64_t>& _firstWriteAfterUs;
    uint64_t _openedUs = 0;
    bool _written = true;
};

// After opening, the line settles for 500 ms and is drained until a 100 ms
// window passes quiet, or for 300 ms at most when it never falls quiet;
// only then does the first identifier read (or auto-baud byte) go out.
TEST(SambaConnect, LineSettlesAndIsDrainedBeforeTheFirstCommand)
{
    struct Case {
        const char* what;
        SimLink link;
        uint64_t trickleUs;
        bool connects;
        std::vector<uint64_t> firstWriteAfterUs;
    } cases[] = {
        {"quiet adapter", SimLink::Usb, 0, true, {600000}},
        {"quiet adapter, second speed", SimLink::Uart, 0, true, {600000, 600000}},
        {"byte every 20 ms", SimLink::Usb, 20000, false, {800000, 800000}},
        {"byte every 150 ms", SimLink::Usb, 150000, false, {600000, 600000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimRig rig(withLink(c.link));
        rig.adapter->faults.trickleUs = c.trickleUs;
        std::vector<uint64_t> firstWriteAfterUs;
        const uint64_t start = SimClock::nowUs();
        EXPECT_EQ(rig.samba.connect(SerialPort::Ptr(new TimedPort(rig, firstWriteAfterUs)), 115200),
                  c.connects);
        EXPECT_EQ(firstWriteAfterUs, c.firstWriteAfterUs);
        // Both speeds of a line that never falls quiet are given up in 5 s.
        EXPECT_LE(SimClock::nowUs() - start, 5000000u);
    }
}

TEST(SambaConnect, ResetRequestsASystemResetAndTheMonitorComesBack)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    size_t mark = rig.mark();
    uint64_t start = SimClock::nowUs();
    testing::internal::CaptureStdout();
    rig.samba.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CPU reset.\n");
    std::string sent = rig.sentSince(mark);
    EXPECT_EQ(sent.substr(sent.size() - 19), "WE000ED0C,05FA0004#");
    EXPECT_EQ(rig.log->flushes.back(), rig.mark());
    EXPECT_EQ(rig.adapter->record.resets, 1u);
    EXPECT_GE(SimClock::nowUs() - start, 100000u);

    // The next run finds a fresh monitor.
    SimRig next;
    next.adapter = rig.adapter;
    ASSERT_TRUE(next.connect());
    EXPECT_EQ(next.samba.readWord(0xFF4), 0x00450203u);
}

TEST(SambaConnect, ResetIsRefusedForAnotherChip)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    rig.adapter->pokeWord(0, 0xEA000000);  // now identifies as an ARM7 part
    size_t mark = rig.mark();
    testing::internal::CaptureStdout();
    rig.samba.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CPU reset.\nReset not supported for this CPU.\n");
    EXPECT_EQ(rig.sentSince(mark).find('W'), std::string::npos);
    EXPECT_EQ(rig.adapter->record.resets, 0u);
}

}  // namespace
