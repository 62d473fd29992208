#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "Win32Double.h"
#include "WinSerialPort.h"

using namespace win32double;
using Calls = std::vector<std::string>;

namespace {

static_assert(sizeof(DCB) == 28, "the double's DCB must have the Win32 layout");

std::string describe(const DCB& d)
{
    std::ostringstream out;
    out << "len=" << d.DCBlength << " baud=" << d.BaudRate << " bin=" << d.fBinary
        << " par=" << d.fParity << " cts=" << d.fOutxCtsFlow << " dsr=" << d.fOutxDsrFlow
        << " dtr=" << d.fDtrControl << " dsrs=" << d.fDsrSensitivity
        << " txc=" << d.fTXContinueOnXoff << " outx=" << d.fOutX << " inx=" << d.fInX
        << " errc=" << d.fErrorChar << " null=" << d.fNull << " rts=" << d.fRtsControl
        << " abort=" << d.fAbortOnError << " dummy=" << d.fDummy2 << " res=" << d.wReserved
        << " xonlim=" << d.XonLim << " xofflim=" << d.XoffLim << " size=" << int(d.ByteSize)
        << " parity=" << int(d.Parity) << " stop=" << int(d.StopBits)
        << " xon=" << int(d.XonChar) << " xoff=" << int(d.XoffChar)
        << " err=" << int(d.ErrorChar) << " eof=" << int(d.EofChar) << " evt=" << int(d.EvtChar)
        << " res1=" << d.wReserved1;
    return out.str();
}

// What another program might have left on the line: a bit pattern in every
// field, and each flag that open must clear set.
DCB leftoverState()
{
    DCB d;
    memset(&d, 0x5A, sizeof d);
    d.fBinary = 0;
    d.fParity = 1;
    d.fOutX = 1;
    d.fInX = 1;
    d.fErrorChar = 1;
    d.fNull = 1;
    d.fAbortOnError = 1;
    d.fOutxCtsFlow = 1;
    d.fOutxDsrFlow = 1;
    d.fDsrSensitivity = 1;
    d.fDtrControl = 2;  // handshake
    d.fRtsControl = 2;
    d.XonChar = 0x01;
    d.XoffChar = 0x02;
    return d;
}

class WinSerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { EXPECT_EQ(g_record.misuse, Calls()); }

    // An open port with the record cleared, for tests of what follows open.
    void openPort(WinSerialPort& port)
    {
        ASSERT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
        g_record.calls.clear();
    }
};

TEST_F(WinSerialPortTest, OpenConfiguresTheDeviceExclusivelyThenSetsTheLongReadTimeout)
{
    WinSerialPort port("COM3", false);
    ASSERT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(g_record.calls, (Calls{"CreateFileA(\\\\.\\COM3,c0000000,0,null,3,80,null)",
                                     "GetCommState(h1,28)", "SetCommState(h1)",
                                     "SetCommTimeouts(h1)"}));
    ASSERT_EQ(g_record.timeouts.size(), 1u);
    EXPECT_EQ(g_record.timeouts[0].ReadTotalTimeoutConstant, 2147483647u);
    EXPECT_EQ(g_record.timeouts[0].WriteTotalTimeoutConstant, 5000u);
    EXPECT_EQ(port.name(), "COM3");
}

TEST_F(WinSerialPortTest, OpenSetsLineAndBinaryFlagsAndKeepsEveryOtherField)
{
    struct Case {
        int baud;
        SerialPort::Parity parity;
        SerialPort::StopBit stop;
        BYTE dcbParity;
        BYTE dcbStop;
    };
    const Case cases[] = {
        {115200, SerialPort::ParityNone, SerialPort::StopBitOne, NOPARITY, ONESTOPBIT},
        {921600, SerialPort::ParityOdd, SerialPort::StopBitOneFive, ODDPARITY, ONE5STOPBITS},
        {300, SerialPort::ParityEven, SerialPort::StopBitTwo, EVENPARITY, TWOSTOPBITS},
        {123457, SerialPort::ParityNone, SerialPort::StopBitTwo, NOPARITY, TWOSTOPBITS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        reset();
        g_script.commState = leftoverState();
        WinSerialPort port("COM7", true);
        ASSERT_TRUE(port.open(c.baud, 8, c.parity, c.stop));
        ASSERT_EQ(g_record.commStates.size(), 1u);

        DCB expected = leftoverState();
        expected.DCBlength = sizeof(DCB);
        expected.BaudRate = static_cast<DWORD>(c.baud);
        expected.ByteSize = 8;
        expected.Parity = c.dcbParity;
        expected.StopBits = c.dcbStop;
        expected.fBinary = 1;
        expected.fParity = 0;
        expected.fOutX = 0;
        expected.fInX = 0;
        expected.fErrorChar = 0;
        expected.fNull = 0;
        expected.fAbortOnError = 0;
        expected.fOutxCtsFlow = 0;
        expected.fOutxDsrFlow = 0;
        expected.fDsrSensitivity = 0;
        expected.fDtrControl = DTR_CONTROL_ENABLE;
        expected.fRtsControl = RTS_CONTROL_ENABLE;
        EXPECT_EQ(describe(g_record.commStates[0]), describe(expected));
    }
}

// SetCommState refuses equal flow-control characters, which some virtual
// COM drivers report (both 0); distinct ones are the driver's to keep.
TEST_F(WinSerialPortTest, EqualFlowControlCharactersAreReplaced)
{
    const struct {
        char xon, xoff, expectedXon, expectedXoff;
    } cases[] = {
        {0, 0, 0x11, 0x13},
        {0x13, 0x13, 0x11, 0x13},
        {0x01, 0x02, 0x01, 0x02},
        {0x13, 0x11, 0x13, 0x11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.xon) * 256 + int(c.xoff));
        reset();
        g_script.commState = leftoverState();
        g_script.commState.XonChar = c.xon;
        g_script.commState.XoffChar = c.xoff;
        WinSerialPort port("COM7", true);
        ASSERT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
        ASSERT_EQ(g_record.commStates.size(), 1u);
        EXPECT_EQ(g_record.commStates[0].XonChar, c.expectedXon);
        EXPECT_EQ(g_record.commStates[0].XoffChar, c.expectedXoff);
    }
}

TEST_F(WinSerialPortTest, FailedOpenLeavesThePortClosedAndReopenable)
{
    struct Case {
        const char* what;
        void (*script)();
        SerialPort::Parity parity;
        SerialPort::StopBit stop;
        Calls calls;
    };
    const std::string create = "CreateFileA(\\\\.\\COM3,c0000000,0,null,3,80,null)";
    const Case cases[] = {
        {"device absent", [] { g_script.createOk = false; }, SerialPort::ParityNone,
         SerialPort::StopBitOne, {create}},
        {"state unreadable", [] { g_script.getCommStateOk = false; }, SerialPort::ParityNone,
         SerialPort::StopBitOne, {create, "GetCommState(h1,28)", "CloseHandle(h1)"}},
        {"parity 3", [] {}, static_cast<SerialPort::Parity>(3), SerialPort::StopBitOne,
         {create, "GetCommState(h1,28)", "CloseHandle(h1)"}},
        {"stop bits 3", [] {}, SerialPort::ParityNone, static_cast<SerialPort::StopBit>(3),
         {create, "GetCommState(h1,28)", "CloseHandle(h1)"}},
        {"state refused", [] { g_script.setCommStateOk = false; }, SerialPort::ParityNone,
         SerialPort::StopBitOne,
         {create, "GetCommState(h1,28)", "SetCommState(h1)", "CloseHandle(h1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        c.script();
        WinSerialPort port("COM3", false);
        EXPECT_FALSE(port.open(115200, 8, c.parity, c.stop));
        EXPECT_EQ(g_record.calls, c.calls);
        EXPECT_EQ(g_record.liveHandles, 0);
        EXPECT_FALSE(port.timeout(100));

        g_script = Script();
        EXPECT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
        EXPECT_EQ(g_record.liveHandles, 1);
    }
}

TEST_F(WinSerialPortTest, RefusedTimeoutDoesNotFailOpen)
{
    g_script.setTimeoutsOk = false;
    WinSerialPort port("COM3", false);
    EXPECT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(g_record.liveHandles, 1);
}

TEST_F(WinSerialPortTest, OpenOnAnOpenPortFailsWithoutTouchingIt)
{
    WinSerialPort port("COM3", false);
    openPort(port);
    EXPECT_FALSE(port.open(9600, 7, SerialPort::ParityEven, SerialPort::StopBitTwo));
    EXPECT_EQ(g_record.calls, Calls());
    EXPECT_EQ(port.get(), -1);  // still open: the read reaches the device
    EXPECT_EQ(g_record.calls, (Calls{"ReadFile(h1,1,null)"}));
}

// A write the line does not take (CTS held low, a device that stopped
// reading) ends after 5 s with a short count instead of hanging.
TEST_F(WinSerialPortTest, TimeoutSetsAWholeWindowPerReadAndFiveSecondsPerWrite)
{
    WinSerialPort port("COM3", false);
    EXPECT_FALSE(port.timeout(100));
    EXPECT_EQ(g_record.calls, Calls());

    openPort(port);
    for (int ms : {0, 100, 5000}) {
        g_record.timeouts.clear();
        EXPECT_TRUE(port.timeout(ms));
        ASSERT_EQ(g_record.timeouts.size(), 1u);
        const COMMTIMEOUTS& t = g_record.timeouts[0];
        EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, static_cast<DWORD>(ms));
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 5000u);
    }
    g_script.setTimeoutsOk = false;
    EXPECT_FALSE(port.timeout(100));
}

TEST_F(WinSerialPortTest, ReadGathersPiecesUntilFullOrAWindowPassesEmpty)
{
    struct Case {
        const char* what;
        std::deque<ReadStep> steps;
        int size;
        int result;
        std::string data;
        Calls calls;
    };
    const Case cases[] = {
        {"one piece", {{true, "0123456789"}}, 10, 10, "0123456789", {"ReadFile(h1,10,null)"}},
        {"three pieces", {{true, "012"}, {true, "3456"}, {true, "789"}}, 10, 10, "0123456789",
         {"ReadFile(h1,10,null)", "ReadFile(h1,7,null)", "ReadFile(h1,3,null)"}},
        {"four then silence", {{true, "0123"}}, 10, 4, "0123",
         {"ReadFile(h1,10,null)", "ReadFile(h1,6,null)"}},
        {"silence", {}, 10, 0, "", {"ReadFile(h1,10,null)"}},
        {"failure after a piece", {{true, "01"}, {false, ""}}, 10, -1, "01",
         {"ReadFile(h1,10,null)", "ReadFile(h1,8,null)"}},
        {"more arrived than asked", {{true, "0123456789"}}, 4, 4, "0123",
         {"ReadFile(h1,4,null)"}},
        {"size zero", {{true, "0"}}, 0, 0, "", {}},
        {"negative size", {{true, "0"}}, -5, 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        WinSerialPort port("COM3", false);
        openPort(port);
        g_script.reads = c.steps;
        char buffer[16] = {};
        EXPECT_EQ(port.read(reinterpret_cast<uint8_t*>(buffer), c.size), c.result);
        EXPECT_EQ(std::string(buffer), c.data);
        EXPECT_EQ(g_record.calls, c.calls);
    }
}

TEST_F(WinSerialPortTest, ClosedPortFailsEveryTransferWithoutAPlatformCall)
{
    WinSerialPort port("COM3", false);
    uint8_t buffer[4] = {};
    EXPECT_EQ(port.read(buffer, 0), -1);
    EXPECT_EQ(port.read(buffer, 4), -1);
    EXPECT_EQ(port.write(buffer, 4), -1);
    EXPECT_EQ(port.get(), -1);
    EXPECT_EQ(port.put('A'), -1);
    EXPECT_EQ(g_record.calls, Calls());
}

TEST_F(WinSerialPortTest, GetTellsATimeoutFromEveryByteValue)
{
    struct Case {
        std::deque<ReadStep> steps;
        int result;
    };
    const Case cases[] = {
        {{{true, "\xff"}}, 255},
        {{{true, std::string(1, '\0')}}, 0},
        {{{true, "A"}}, 'A'},
        {{}, -1},
        {{{false, ""}}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        reset();
        WinSerialPort port("COM3", false);
        openPort(port);
        g_script.reads = c.steps;
        EXPECT_EQ(port.get(), c.result);
        EXPECT_EQ(g_record.calls, (Calls{"ReadFile(h1,1,null)"}));
    }
}

TEST_F(WinSerialPortTest, PutWritesTheLowByteAndWriteReportsTheCountWritten)
{
    struct PutCase {
        int c;
        std::deque<long> results;
        int expected;
        std::string written;
    };
    const PutCase puts[] = {
        {0x1FF, {}, 255, "\xff"},
        {0x141, {}, 0x41, "A"},
        {'A', {0}, -1, ""},
        {'A', {-1}, -1, ""},
    };
    for (const PutCase& c : puts) {
        SCOPED_TRACE(c.c);
        reset();
        WinSerialPort port("COM3", false);
        openPort(port);
        g_script.writeResults = c.results;
        EXPECT_EQ(port.put(c.c), c.expected);
        EXPECT_EQ(g_record.written, c.written);
        EXPECT_EQ(g_record.calls, (Calls{"WriteFile(h1,1,null)"}));
    }

    struct WriteCase {
        int size;
        std::deque<long> results;
        int expected;
        Calls calls;
    };
    const WriteCase writes[] = {
        {10, {}, 10, {"WriteFile(h1,10,null)"}},
        {10, {3}, 3, {"WriteFile(h1,10,null)"}},
        {10, {-1}, -1, {"WriteFile(h1,10,null)"}},
        {-1, {}, -1, {}},
    };
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (const WriteCase& c : writes) {
        SCOPED_TRACE(c.expected);
        reset();
        WinSerialPort port("COM3", false);
        openPort(port);
        g_script.writeResults = c.results;
        EXPECT_EQ(port.write(data, c.size), c.expected);
        EXPECT_EQ(g_record.calls, c.calls);
    }
}

TEST_F(WinSerialPortTest, FlushOnlyPausesOneMillisecond)
{
    WinSerialPort port("COM3", false);
    EXPECT_FALSE(port.flush());
    EXPECT_EQ(g_record.calls, (Calls{"Sleep(1)"}));
    openPort(port);
    EXPECT_TRUE(port.flush());
    EXPECT_EQ(g_record.calls, (Calls{"Sleep(1)"}));
}

TEST_F(WinSerialPortTest, CloseAndDestructionReleaseTheHandleOnce)
{
    {
        WinSerialPort port("COM3", true);
        EXPECT_TRUE(port.isUsb());
        openPort(port);
        port.close();
        port.close();
        EXPECT_EQ(g_record.calls, (Calls{"CloseHandle(h1)"}));
        openPort(port);
    }
    EXPECT_EQ(g_record.calls, (Calls{"CloseHandle(h2)"}));
    EXPECT_EQ(g_record.liveHandles, 0);
}

}  // namespace
