#include <gtest/gtest.h>

#include "Win32Double.h"
#include "WinPortFactory.h"

using namespace win32double;
using Calls = std::vector<std::string>;

namespace {

const Calls START_WALK = {
    "SetupDiClassGuidsFromNameA(Ports,null,0)",
    "SetupDiClassGuidsFromNameA(Ports,ptr,1)",
    "SetupDiGetClassDevsA(4d36e978,null,null,2)",
    "LoadLibraryA(cfgmgr32)",
    "GetProcAddress(lib1,CM_Open_DevNode_Key)",
};

// The calls that read device `index`'s port name through key number `key`.
Calls readName(int index, int key)
{
    const std::string k = "key" + std::to_string(key);
    return {"SetupDiEnumDeviceInfo(list1," + std::to_string(index) + ")",
            "CM_Open_DevNode_Key(" + std::to_string(100 + index) + ",1,0,1,ptr,0)",
            "RegQueryValueExA(" + k + ",portname,null,null,16)", "RegCloseKey(" + k + ")"};
}

Calls concat(std::initializer_list<Calls> parts)
{
    Calls out;
    for (const Calls& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

class WinPortFactoryTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { EXPECT_EQ(g_record.misuse, Calls()); }

    static void expectNothingHeld()
    {
        EXPECT_EQ(g_record.liveDeviceLists, 0);
        EXPECT_EQ(g_record.liveLibraries, 0);
        EXPECT_EQ(g_record.liveKeys, 0);
    }

    // Every name of one walk, up to the end marker.
    static std::vector<std::string> walk(WinPortFactory& factory)
    {
        std::vector<std::string> names;
        for (std::string name = factory.begin(); name != factory.end(); name = factory.next()) {
            names.push_back(name);
            if (names.size() > 64) {
                ADD_FAILURE() << "the walk does not end";
                break;
            }
        }
        return names;
    }
};

TEST_F(WinPortFactoryTest, WalkYieldsComPortsInSetOrderThenReleasesEverything)
{
    g_script.devices = {port("COM3"), port("LPT1"), port("com5"), port("COM12"),
                        port("COM456789012345")};
    WinPortFactory factory;
    EXPECT_EQ(walk(factory),
              (std::vector<std::string>{"COM3", "COM12", "COM456789012345"}));
    EXPECT_EQ(g_record.calls,
              concat({START_WALK, readName(0, 1), readName(1, 2), readName(2, 3), readName(3, 4),
                      readName(4, 5),
                      {"SetupDiEnumDeviceInfo(list1,5)", "FreeLibrary(lib1)",
                       "SetupDiDestroyDeviceInfoList(list1)"}}));
    expectNothingHeld();
}

TEST_F(WinPortFactoryTest, AnUnreadableDeviceEndsTheWalkForGood)
{
    struct Case {
        const char* what;
        Device second;
        Calls secondCalls;
    };
    Device refused = port("COM2");
    refused.openResult = CR_NO_SUCH_VALUE;
    Device keyless = port("COM2");
    keyless.nullKey = true;
    Device noValue = port("COM2");
    noValue.queryResult = ERROR_FILE_NOT_FOUND;
    const Case cases[] = {
        {"key refused", refused,
         {"SetupDiEnumDeviceInfo(list1,1)", "CM_Open_DevNode_Key(101,1,0,1,ptr,0)"}},
        {"success without a key", keyless,
         {"SetupDiEnumDeviceInfo(list1,1)", "CM_Open_DevNode_Key(101,1,0,1,ptr,0)"}},
        {"no port name", noValue, readName(1, 2)},
        {"name of 16 characters", port("COM4567890123456"), readName(1, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        g_script.devices = {port("COM1"), c.second, port("COM3")};
        WinPortFactory factory;
        EXPECT_EQ(walk(factory), (std::vector<std::string>{"COM1"}));
        EXPECT_EQ(g_record.calls,
                  concat({START_WALK, readName(0, 1), c.secondCalls,
                          {"FreeLibrary(lib1)", "SetupDiDestroyDeviceInfoList(list1)"}}));
        expectNothingHeld();

        g_record.calls.clear();
        EXPECT_EQ(factory.next(), "");
        EXPECT_EQ(g_record.calls, Calls());
    }
}

TEST_F(WinPortFactoryTest, PortNameFillingTheBufferWithoutNulIsReadSafely)
{
    Device full;
    full.portName = "COM4567890123456";  // 16 bytes, no terminator
    g_script.devices = {full};
    WinPortFactory factory;
    EXPECT_EQ(factory.begin(), "COM4567890123456");
    EXPECT_EQ(factory.next(), "");
    expectNothingHeld();
}

TEST_F(WinPortFactoryTest, FailedStartReleasesWhatItTookAndStaysIdle)
{
    struct Case {
        const char* what;
        void (*script)();
        Calls calls;
    };
    const Case cases[] = {
        {"no Ports class", [] { g_script.portClasses = 0; },
         {"SetupDiClassGuidsFromNameA(Ports,null,0)"}},
        {"class list unreadable", [] { g_script.classGuidsOk = false; },
         {START_WALK[0], START_WALK[1]}},
        {"no device list", [] { g_script.classDevsOk = false; },
         {START_WALK[0], START_WALK[1], START_WALK[2]}},
        {"no library", [] { g_script.loadLibraryOk = false; },
         {START_WALK[0], START_WALK[1], START_WALK[2], START_WALK[3],
          "SetupDiDestroyDeviceInfoList(list1)"}},
        {"no entry point", [] { g_script.procAddressOk = false; },
         concat({START_WALK, {"FreeLibrary(lib1)", "SetupDiDestroyDeviceInfoList(list1)"}})},
        {"no devices", [] {},
         concat({START_WALK,
                 {"SetupDiEnumDeviceInfo(list1,0)", "FreeLibrary(lib1)",
                  "SetupDiDestroyDeviceInfoList(list1)"}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        c.script();
        WinPortFactory factory;
        EXPECT_EQ(factory.begin(), "");
        EXPECT_EQ(g_record.calls, c.calls);
        expectNothingHeld();

        g_record.calls.clear();
        EXPECT_EQ(factory.next(), "");
        EXPECT_EQ(g_record.calls, Calls());
    }
}

TEST_F(WinPortFactoryTest, SeveralPortsClassesWalkOnlyTheFirst)
{
    g_script.portClasses = 2;
    g_script.devices = {port("COM1")};
    WinPortFactory factory;
    EXPECT_EQ(factory.begin(), "COM1");
    EXPECT_EQ(callsTo("SetupDiClassGuidsFromNameA")[1], "SetupDiClassGuidsFromNameA(Ports,ptr,2)");
    EXPECT_EQ(callsTo("SetupDiGetClassDevsA"),
              (Calls{"SetupDiGetClassDevsA(4d36e978,null,null,2)"}));
}

TEST_F(WinPortFactoryTest, BeginRestartsFromTheFirstPort)
{
    g_script.devices = {port("COM1"), port("COM2"), port("COM3")};
    WinPortFactory factory;
    EXPECT_EQ(factory.begin(), "COM1");
    EXPECT_EQ(factory.next(), "COM2");

    g_record.calls.clear();
    EXPECT_EQ(factory.begin(), "COM1");
    // The old walk is released, library first, before the new one starts.
    const Calls restart(g_record.calls.begin(), g_record.calls.begin() + 3);
    EXPECT_EQ(restart, (Calls{"FreeLibrary(lib1)", "SetupDiDestroyDeviceInfoList(list1)",
                              "SetupDiClassGuidsFromNameA(Ports,null,0)"}));
    EXPECT_EQ(g_record.liveDeviceLists, 1);
    EXPECT_EQ(g_record.liveLibraries, 1);

    EXPECT_EQ(walk(factory), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    expectNothingHeld();
}

TEST_F(WinPortFactoryTest, DestroyingTheFactoryMidWalkReleasesTheWalk)
{
    g_script.devices = {port("COM1"), port("COM2")};
    {
        WinPortFactory factory;
        EXPECT_EQ(factory.begin(), "COM1");
        g_record.calls.clear();
    }
    EXPECT_EQ(g_record.calls, (Calls{"FreeLibrary(lib1)", "SetupDiDestroyDeviceInfoList(list1)"}));
    expectNothingHeld();
}

TEST_F(WinPortFactoryTest, CreateTellsUsbPortsByTheirKernelDevicePath)
{
    g_script.dosDevices = {
        {"COM3", "\\Device\\USBSER000"},
        {"COM4", "\\Device\\USB"},
        {"COM5", "\\Device\\Serial0"},
        {"COM6", "\\Device\\US"},
        {"COM7", "\\device\\usbser001"},
        {"COM8", ""},
    };
    struct Case {
        const char* name;
        bool usb;
    };
    const Case cases[] = {{"COM3", true},  {"COM4", true},  {"COM5", false}, {"COM6", false},
                          {"COM7", false}, {"COM8", false}, {"COM9", false}};
    WinPortFactory factory;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_record.calls.clear();
        SerialPort::Ptr port = factory.create(c.name);
        ASSERT_TRUE(port);
        EXPECT_EQ(port->isUsb(), c.usb);
        EXPECT_EQ(port->name(), c.name);
        EXPECT_EQ(g_record.calls, (Calls{"QueryDosDeviceA(" + std::string(c.name) + ",260)"}));
    }
}

TEST_F(WinPortFactoryTest, CreateWithAKnownTypeAsksThePlatformNothing)
{
    WinPortFactory factory;
    for (bool usb : {true, false}) {
        SerialPort::Ptr port = factory.create("COM99", usb);
        ASSERT_TRUE(port);
        EXPECT_EQ(port->isUsb(), usb);
        EXPECT_EQ(port->name(), "COM99");
    }
    EXPECT_EQ(g_record.calls, Calls());
}

TEST_F(WinPortFactoryTest, PortsOutliveTheFactoryAndOpenOnTheirOwn)
{
    SerialPort::Ptr port;
    {
        WinPortFactory factory;
        port = factory.create("COM3", false);
    }
    EXPECT_TRUE(port->open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(callsTo("CreateFileA").size(), 1u);
}

}  // namespace
