// The port walk and USB probe over a fake sysfs tree and a fake macOS device
// folder, and the name order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PosixPortFactory.h"

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

TEST(PosixPortFactory, NaturalOrderCountsDigitRunsByValue)
{
    const struct {
        const char *a, *b;
        bool less;
    } cases[] = {
        {"ttyACM1", "ttyACM10", true},  {"ttyACM2", "ttyACM10", true}, {"ttyACM10", "ttyACM2", false},
        {"ttyS1", "ttyS1", false},      {"ttyS", "ttyS0", true},       {"ttyS0", "ttyS", false},
        {"ttyACM9", "ttyAMA0", true},   {"tty007", "tty8", true},      {"tty8", "tty007", false},
        {"tty01", "tty1", true},        {"tty1", "tty01", false},      {"tty1a2", "tty1a10", true},
        {"cu.usbmodem1421", "cu.usbmodem14201", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PosixPortFactory::naturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}


// The macOS walk, run here on a folder of fake entries: only the call-out
// cu.* entries, in natural order, and only cu.usbmodem* taken as USB.
TEST(PosixPortFactory, CallOutWalkListsCuEntriesAndMarksUsbModems)
{
    char tmpl[] = "/tmp/tarvo-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path dev = tmpl;
    const struct {
        const char* entry;
        bool listed, usb;
    } cases[] = {
        {"cu.usbmodem14201", true, true},
        {"tty.usbmodem14201", false, true},
        {"cu.usbmodem1421", true, true},
        {"cu.Bluetooth-Incoming-Port", true, false},
        {"tty.Bluetooth-Incoming-Port", false, false},
        {"cu.usbserial-A10K3XQ", true, false},  // a UART bridge: the UART's speed
        {"tty.usbserial-A10K3XQ", false, false},
        {"cu.", false, false},
        {"cuaa0", false, false},
        {"console", false, false},
        {"usbmodem9", false, false},
    };
    for (const auto& c : cases)
        std::ofstream(dev / c.entry).put('\n');
    fs::create_directory(dev / "fd");

    PosixPortFactory factory(PosixPortFactory::Layout::CallOut, "/nonexistent", dev.string());
    Names walked;
    for (std::string n = factory.begin(); n != factory.end() && walked.size() < 100; n = factory.next())
        walked.push_back(n);
    const Names expected{(dev / "cu.Bluetooth-Incoming-Port").string(), (dev / "cu.usbmodem1421").string(),
                         (dev / "cu.usbmodem14201").string(), (dev / "cu.usbserial-A10K3XQ").string()};
    EXPECT_EQ(walked, expected);

    for (const auto& c : cases) {
        const std::string name = (dev / c.entry).string();
        EXPECT_EQ(std::count(walked.begin(), walked.end(), name), c.listed ? 1 : 0) << c.entry;
        EXPECT_EQ(factory.create(name)->isUsb(), c.usb) << c.entry;
    }
    // A link to a modem entry is the same port.
    fs::create_symlink(dev / "cu.usbmodem1421", dev / "adapter");
    EXPECT_TRUE(factory.create((dev / "adapter").string())->isUsb());

    std::error_code ec;
    fs::remove_all(dev, ec);
    PosixPortFactory gone(PosixPortFactory::Layout::CallOut, "/nonexistent", dev.string());
    EXPECT_EQ(gone.begin(), "");
}

#if !defined(__APPLE__)

// A small copy of /sys/class/tty with the shapes the walk meets on a PC: USB
// CDC and bridge ports, a fitted and two empty legacy UART slots, an on-chip
// UART without a type, and consoles with no device at all.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tarvo-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        classDir = root / "sys/class/tty";
        devDir = root / "dev";
        fs::create_directories(classDir);
        fs::create_directories(devDir / "serial/by-id");

        const fs::path usb = root / "sys/devices/pci0000:00/usb1";
        const fs::path platform = root / "sys/devices/platform";
        addTty("ttyACM10", usb / "1-3/1-3:1.0", usb / "1-3");
        addTty("ttyS2", platform / "serial8250", {}, "0");
        addTty("ttyACM0", usb / "1-1/1-1:1.0", usb / "1-1");
        addTty("tty0", {});
        addTty("ttyS1", root / "sys/devices/pnp0/00:01", {}, "4");
        addTty("ttyACM1", usb / "1-2/1-2:1.0", usb / "1-2");
        addTty("ttyS0", platform / "serial8250", {}, "0");
        addTty("ttyUSB0", usb / "1-4/1-4:1.0/ttyUSB0", usb / "1-4");
        addTty("ttyAMA0", platform / "fe201000.serial");

        std::ofstream(devDir / "ttyACM1").put('\n');
        fs::create_symlink(devDir / "ttyACM1", devDir / "serial/by-id/usb-Maker_Adapter-if00");
    }

    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Class entries are links into the device tree, as in the real one.
    void addTty(const std::string& name, const fs::path& device, const fs::path& usbDevice = {},
                const char* type = nullptr)
    {
        const fs::path node = (device.empty() ? root / "sys/devices/virtual" : device) / "tty" / name;
        fs::create_directories(node);
        if (!device.empty())
            fs::create_directory_symlink(device, node / "device");
        if (!usbDevice.empty())
            std::ofstream(usbDevice / "idVendor") << "03eb\n";
        if (type)
            std::ofstream(node / "type") << type << "\n";
        fs::create_directory_symlink(node, classDir / name);
    }

    std::string dev(const std::string& name) const { return (devDir / name).string(); }

    static Names walk(PortFactoryBase& factory)
    {
        Names names;
        for (std::string n = factory.begin(); n != factory.end() && names.size() < 100; n = factory.next())
            names.push_back(n);
        return names;
    }

    fs::path root, classDir, devDir;
};

TEST_F(FakeSysfs, WalkYieldsDevicePathsInNaturalOrderWithoutPhantoms)
{
    PosixPortFactory factory(classDir.string(), devDir.string());
    const Names expected{dev("ttyACM0"), dev("ttyACM1"), dev("ttyACM10"),
                         dev("ttyAMA0"), dev("ttyS1"),   dev("ttyUSB0")};
    EXPECT_EQ(walk(factory), expected);
    // The end is sticky until a new walk starts; a new walk starts over.
    EXPECT_EQ(factory.next(), "");
    EXPECT_EQ(factory.begin(), expected[0]);
    EXPECT_EQ(factory.next(), expected[1]);
    EXPECT_EQ(walk(factory), expected);

    PosixPortFactory none("/nonexistent/sys/class/tty", "/dev");
    EXPECT_EQ(none.begin(), "");
    EXPECT_EQ(none.next(), "");
}

TEST_F(FakeSysfs, CreateFindsUsbPortsThroughTheirDeviceTree)
{
    PosixPortFactory f(classDir.string(), devDir.string());
    const struct {
        std::string name;
        bool usb;
    } cases[] = {
        {dev("ttyACM0"), true},  // no /dev node: the name alone is enough
        {dev("ttyUSB0"), true},  // the device is the bridge's port, below the interface
        {dev("serial/by-id/usb-Maker_Adapter-if00"), true},
        {"/dev/ttyACM10", true},
        {dev("ttyS1"), false},
        {dev("ttyAMA0"), false},
        {dev("tty0"), false},
        {dev("ttyNOPE9"), false},
        {dev(".."), false},
        {"", false},
    };
    for (const auto& c : cases) {
        SerialPort::Ptr port = f.create(c.name);
        EXPECT_EQ(port->isUsb(), c.usb) << c.name;
        EXPECT_EQ(port->name(), c.name);
        EXPECT_EQ(port->get(), -1) << "made closed: " << c.name;
        // A given flag is taken as it is, without probing.
        EXPECT_EQ(f.create(c.name, !c.usb)->isUsb(), !c.usb) << c.name;
    }
}

#endif

}  // namespace
