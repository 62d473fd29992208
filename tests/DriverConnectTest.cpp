// The driver finding and identifying the adapter, run in-process against
// simulated ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimClock.h"
#include "SimPortFactory.h"
#include "TarvoRun.h"
#include "TarvoXcon.h"

namespace {

using DriverRun = TarvoRun;

DriverRun runTarvo(std::vector<std::string> args, PortFactoryBase& factory)
{
    return runTarvoInProcess(std::move(args), factory);
}

const std::string INFO_256K =
    "\n"
    "Bootloader Version: v1.1 Mar 12 2019 VMD\n"
    "Adapter SN: AB123456 , PCB Ver: 0x0203\n"
    "Firmware Version: 0x0105\n"
    "ROM Version: 0x03\n"
    "Pre0=10, Pre1=2\n"
    "Type=E\n"
    "done in T seconds\n";

bool commandSeen(const SimAdapter& adapter, const std::string& command)
{
    const auto& commands = adapter.record.commands;
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

TEST(DriverConnect, NamedPortIsOpenedAsUsbAndReported)
{
    for (uint32_t chip : {device::CHIP_256K, device::CHIP_128K}) {
        SimOptions options;
        options.chipId = chip;
        options.firmwareVersion = 0xFF000000;
        auto adapter = std::make_shared<SimAdapter>(options);
        SimPortFactory factory;
        factory.addAdapter("COM3", adapter, false);  // -p marks it as USB all the same
        DriverRun run = runTarvo({"-p", "COM3", "-i"}, factory);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "Try to open USB device ... ");
        EXPECT_EQ(run.out, "\n"
                           "Bootloader Version: v1.1 Mar 12 2019 VMD\n"
                           "Adapter SN: AB123456 , PCB Ver: 0x0203\n"
                           "Firmware Version: 0x0000\n"
                           "ROM Version: 0x00\n"
                           "Pre0=255, Pre1=2\n"
                           "Type=E\n"
                           "done in T seconds\n");
        EXPECT_EQ(factory.created(), std::vector<std::string>{"COM3"});
        EXPECT_EQ(factory.log("COM3")->opens, std::vector<int>{921600});
        EXPECT_TRUE(commandSeen(*adapter, chip == device::CHIP_128K ? "w0001EFF0,4#"
                                                                    : "w0003EFF0,4#"));
    }
}

// Failures to find an adapter: no scan follows a named port, and a port
// whose driver throws ends the run with the exception report.
TEST(DriverConnect, ConnectionFailuresAreReported)
{
    SimPortOptions noOpen;
    noOpen.opens = false;
    SimPortOptions broken;
    broken.throwsOnOpen = true;
    struct Case {
        std::vector<std::string> args;
        bool withAdapter;
        std::string err;
        std::vector<std::string> created;
    } cases[] = {
        {{"-p", "COM9", "-i"}, true, "Try to open USB device ... No device found on COM9\n",
         {"COM9"}},
        {{"-p", "COM42", "-R"}, true, "Try to open USB device ... No device found on COM42\n",
         {"COM42"}},
        {{"-p", "COM5", "-i"}, true,
         "Try to open USB device ... \nserial driver failure on COM5\n", {"COM5"}},
        {{"-i"}, false,
         "Try to scan USB devices ... Auto scan for device failed\n"
         "Try specifying a serial port with the '-p' option\n",
         {"COM9", "COM2"}},
    };
    for (const auto& c : cases) {
        SimPortFactory factory;
        factory.addSilent("COM9");
        factory.addPort("COM2", std::make_shared<SimAdapter>(), noOpen);
        if (c.withAdapter) {
            factory.addPort("COM5", nullptr, broken);
            factory.addAdapter("COM3", std::make_shared<SimAdapter>());
        }
        DriverRun run = runTarvo(c.args, factory);
        EXPECT_EQ(run.status, 1) << c.args[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(factory.created(), c.created);
    }
}

TEST(DriverConnect, ScanStopsAtTheFirstAdapter)
{
    auto first = std::make_shared<SimAdapter>();
    auto second = std::make_shared<SimAdapter>();
    SimPortFactory factory;
    factory.addSilent("COM1", false);
    factory.addPort("COM2", nullptr, [] {
        SimPortOptions o;
        o.opens = false;
        return o;
    }());
    factory.addAdapter("COM3", first);
    factory.addAdapter("COM7", second);
    DriverRun run = runTarvo({"-i"}, factory);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Try to scan USB devices ... ");
    EXPECT_EQ(run.out, "Corvane adapter found on COM3\n" + INFO_256K);
    EXPECT_EQ(factory.created(), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_TRUE(second->record.commands.empty());
}

TEST(DriverConnect, ResetComesLastAndTheNextRunStillConnects)
{
    auto adapter = std::make_shared<SimAdapter>();
    SimPortFactory factory;
    factory.addAdapter("COM3", adapter);
    DriverRun run = runTarvo({"-R", "-i", "-p", "COM3"}, factory);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, INFO_256K + "CPU reset.\n");
    EXPECT_EQ(adapter->record.resets, 1u);
    EXPECT_EQ(adapter->record.commands.back(), "WE000ED0C,05FA0004#");

    for (int i = 0; i < 2; i++) {
        run = runTarvo({"-p", "COM3", "-R"}, factory);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "CPU reset.\n");
    }
    EXPECT_EQ(adapter->record.resets, 3u);
}

TEST(DriverConnect, RunWithoutActionOnlyConnects)
{
    auto adapter = std::make_shared<SimAdapter>();
    SimPortFactory factory;
    factory.addAdapter("COM3", adapter);
    DriverRun run = runTarvo({"-p", "COM3"}, factory);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Try to open USB device ... ");
    // Connect's own identification, then the driver's.
    EXPECT_EQ(adapter->record.commands,
              (std::vector<std::string>{"w00000000,4#", "wE000ED00,4#", "w41002018,4#", "V#",
                                        "w00000000,4#", "wE000ED00,4#", "w41002018,4#"}));
}

// A monitor silent to "V#" throws out of connect: the run ends with the
// exception report and no further port is tried.
TEST(DriverConnect, SilentVersionQueryEndsTheRun)
{
    auto mute = std::make_shared<SimAdapter>();
    mute->faults.noVersionReply = true;
    auto good = std::make_shared<SimAdapter>();
    SimPortFactory factory;
    factory.addAdapter("COM1", mute);
    factory.addAdapter("COM3", good);
    DriverRun scan = runTarvo({"-i"}, factory);
    EXPECT_EQ(scan.status, 1);
    EXPECT_EQ(scan.out, "");
    EXPECT_EQ(scan.err, "Try to scan USB devices ... \nSAM-BA operation failed\n");
    EXPECT_EQ(factory.created(), std::vector<std::string>{"COM1"});

    DriverRun named = runTarvo({"-p", "COM1", "-i"}, factory);
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.err, "Try to open USB device ... \nSAM-BA operation failed\n");
}

TEST(DriverConnect, MonitorFailureDuringInfoEndsTheRun)
{
    auto adapter = std::make_shared<SimAdapter>();
    // Connect and the driver's check take 7 commands; the version query and
    // the identity word are the last ones answered.
    adapter->faults.goneAfter = 9;
    SimPortFactory factory;
    factory.addAdapter("COM3", adapter);
    DriverRun run = runTarvo({"-p", "COM3", "-i", "-R"}, factory);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "\nBootloader Version: v1.1 Mar 12 2019 VMD\n");
    EXPECT_EQ(run.err, "Try to open USB device ... \nSAM-BA operation failed\n");
    EXPECT_EQ(adapter->record.resets, 0u);
}

// A line that sends a byte every 20 ms and never answers: named, it is given
// up within 5 s; in the scan, the adapter after it is still found.
TEST(DriverConnect, TricklingLineIsGivenUpWithinFiveSeconds)
{
    auto trickler = std::make_shared<SimAdapter>();
    trickler->faults.trickleUs = 20000;
    SimPortFactory factory;
    factory.addAdapter("COM1", trickler);
    factory.addAdapter("COM3", std::make_shared<SimAdapter>());

    SimClockGuard clock;
    uint64_t start = SimClock::nowUs();
    DriverRun named = runTarvo({"-p", "COM1", "-i"}, factory);
    const uint64_t namedUs = SimClock::nowUs() - start;
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.out, "");
    EXPECT_EQ(named.err, "Try to open USB device ... No device found on COM1\n");
    EXPECT_LE(namedUs, 5000000u);
    EXPECT_EQ(factory.log("COM1")->opens, (std::vector<int>{921600, 115200}));

    start = SimClock::nowUs();
    DriverRun scan = runTarvo({"-R"}, factory);
    EXPECT_EQ(scan.status, 0);
    EXPECT_EQ(scan.out, "Corvane adapter found on COM3\nCPU reset.\n");
    EXPECT_LE(SimClock::nowUs() - start, namedUs + 1000000);
    printf("trickling line given up after %.2f s (virtual clock)\n", namedUs / 1e6);
}

TEST(DriverConnect, DriverRefusesAChipItReadsAsUnsupported)
{
    auto adapter = std::make_shared<SimAdapter>();
    // The driver's own identifier read (command 7) comes back corrupted.
    adapter->faults.wrongLetterOf = 7;
    SimPortFactory factory;
    factory.addAdapter("COM3", adapter);
    DriverRun run = runTarvo({"-p", "COM3", "-i", "-R"}, factory);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Try to open USB device ... Hardware failuser, ID 1001032a is not supported\n");
    EXPECT_EQ(adapter->record.commands.size(), 7u);
}

}  // namespace
