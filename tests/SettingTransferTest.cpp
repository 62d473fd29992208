// -s and -u run through the driver against the simulated adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Checksum.h"
#include "Device.h"
#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "SimPortFactory.h"
#include "TarvoRun.h"

namespace {

const std::string UPDATE_DOTS(64, '.');

class SettingTransferTest : public testing::Test {
protected:
    std::shared_ptr<SimAdapter> adapterFor(uint32_t chip)
    {
        SimOptions options;
        options.chipId = chip;
        auto adapter = std::make_shared<SimAdapter>(options);
        _factory.addAdapter("SIM" + std::to_string(_count), adapter);
        _names[adapter.get()] = "SIM" + std::to_string(_count++);
        return adapter;
    }

    TarvoRun run(const std::shared_ptr<SimAdapter>& adapter, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-p", _names[adapter.get()]});
        adapter->record.clear();
        return runTarvoInProcess(args, _factory);
    }

    static Bytes area(const SimAdapter& adapter)
    {
        auto begin = adapter.flash().begin() + adapter.settingsBase();
        return Bytes(begin, begin + device::SETTINGS_SIZE);
    }

    static void setArea(SimAdapter& adapter, const Bytes& bytes)
    {
        std::copy(bytes.begin(), bytes.end(), adapter.flash().begin() + adapter.settingsBase());
    }

    static std::string hex8(uint32_t value)
    {
        char text[16];
        snprintf(text, sizeof(text), "0x%08X", value);
        return text;
    }

    TempDir _dir;
    std::string _file = _dir.path("user.dat");
    SimPortFactory _factory;
    std::map<const SimAdapter*, std::string> _names;
    int _count = 0;
};

TEST_F(SettingTransferTest, SaveThenRestoreGivesBackTheSameArea)
{
    for (uint32_t chip : {device::CHIP_256K, device::CHIP_128K}) {
        auto adapter = adapterFor(chip);
        const uint32_t base = adapter->settingsBase();
        const Bytes saved = patternBytes(device::SETTINGS_SIZE, static_cast<uint8_t>(chip));
        setArea(*adapter, saved);
        writeFile(_file, Bytes(10000, 0x42));  // an older, longer file is replaced

        TarvoRun save = run(adapter, {"-s", _file});
        EXPECT_EQ(save.status, 0) << save.err;
        EXPECT_EQ(save.out, "\nDownloading Lens Setting ... done in T seconds\n");
        EXPECT_EQ(readFile(_file), saved);
        // The temporary file went into place; nothing is left beside it.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(_dir.path("")),
                                std::filesystem::directory_iterator()),
                  1);

        // Bytes past the first 4096 of the file do not count.
        Bytes longer = saved;
        longer.resize(5000, 0x00);
        writeFile(_file, longer);
        setArea(*adapter, patternBytes(device::SETTINGS_SIZE, 99));
        const Bytes before = adapter->flash();
        TarvoRun restore = run(adapter, {"-u", _file});
        EXPECT_EQ(restore.status, 0) << restore.err;
        EXPECT_EQ(restore.out, "\nClearing adapter setting, please wait ...  Done\n"
                               "Updating adapter setting, please wait ... " + UPDATE_DOTS +
                                   " Done\n"
                                   "Checksum of adapter setting = " +
                                   hex8(adapterChecksum(saved.data(), saved.size())) +
                                   "\ndone in T seconds\n");
        EXPECT_EQ(area(*adapter), saved);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + base, adapter->flash().begin()));

        // Exactly one erase of the area, 64 staged copies into it, one
        // checksum, then the area read back in one block (its first byte
        // alone: a raw read is never a power of two above 32 bytes).
        std::vector<std::string> expected = {"X" + hex8(base).substr(2) + ",0#"};
        for (uint32_t offset = 0; offset < device::SETTINGS_SIZE; offset += 64) {
            char copy[32];
            snprintf(copy, sizeof(copy), "Y%08X,00000040#", base + offset);
            expected.insert(expected.end(), {"S20000000,00000040#", "Y20000000,0#", copy});
        }
        expected.push_back("Z" + hex8(base).substr(2) + ",00001000#");
        char read[32];
        snprintf(read, sizeof(read), "R%08X,00000FFF#", base + 1);
        expected.insert(expected.end(), {"o" + hex8(base).substr(2) + ",4#", read});
        const auto& commands = adapter->record.commands;
        auto erase = std::find_if(commands.begin(), commands.end(),
                                  [](const std::string& c) { return c[0] == 'X'; });
        EXPECT_EQ(std::vector<std::string>(erase, commands.end()), expected);
        EXPECT_EQ(adapter->record.erasedRows.front(), base);
        EXPECT_EQ(adapter->record.erasedRows.size(), device::SETTINGS_SIZE / device::ROW_SIZE);
        EXPECT_TRUE(adapter->record.bootloaderTouches.empty());
    }
}

TEST_F(SettingTransferTest, RestoreRefusesAFileItCannotUseWhole)
{
    const std::string shorter = "Adapter setting file " + _file + " is shorter than 4096 bytes, abort\n";
    const std::string dir = _dir.path("settings.d");
    std::filesystem::create_directory(dir);
    // Opens, but reading its first page fails: nothing is mapped at address 0.
    const std::string unreadable = "/proc/self/mem";
    struct Case {
        const char* what;
        std::string name;
        std::optional<Bytes> file;
        std::string message;
    } cases[] = {
        {"missing file", _file, std::nullopt, "Failed in opening adapter setting file " + _file + ", abort\n"},
        {"empty file", _file, Bytes{}, shorter},
        {"4095 bytes", _file, Bytes(4095, 0x11), shorter},
        {"directory", dir, std::nullopt, "Adapter setting file " + dir + " is a directory, abort\n"},
        {"read error", unreadable, std::nullopt,
         "Failed in reading adapter setting file " + unreadable + ", abort\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(_file);
        if (c.file)
            writeFile(_file, *c.file);
        auto adapter = adapterFor(device::CHIP_256K);
        const Bytes before = area(*adapter);
        TarvoRun r = run(adapter, {"-u", "-R", c.name});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "\n" + c.message) << c.what;
        EXPECT_EQ(area(*adapter), before) << c.what;
        EXPECT_TRUE(adapter->record.erasedRows.empty()) << c.what;
        EXPECT_EQ(adapter->record.resets, 0u) << c.what << ": -R must not follow";
    }
}

// The area read back after the update must be the file: a flash byte that
// did not program fails the run, though the rest goes on as printed.
TEST_F(SettingTransferTest, RestoreFailsWhenAByteDidNotTake)
{
    const Bytes image = patternBytes(device::SETTINGS_SIZE, 21);
    writeFile(_file, image);
    struct Case {
        const char* what;
        uint32_t offset;  // of the stuck byte in the area; 0xFFFFFFFF for none
        int differ;
    } cases[] = {
        {"byte 100 stuck", 100, image[100] != 0xFF},
        {"last byte stuck", 4095, image[4095] != 0xFF},
        {"no fault", 0xFFFFFFFF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.offset == 0xFFFFFFFF || c.differ == 1) << "the pattern must not hold 0xFF there";
        auto adapter = adapterFor(device::CHIP_128K);
        if (c.offset != 0xFFFFFFFF)
            adapter->faults.stuckByte = adapter->settingsBase() + c.offset;
        TarvoRun r = run(adapter, {"-u", "-R", _file});
        Bytes expectedArea = image;
        if (c.offset != 0xFFFFFFFF)
            expectedArea[c.offset] = 0xFF;
        EXPECT_EQ(area(*adapter), expectedArea);
        EXPECT_EQ(r.status, c.differ ? 1 : 0);
        EXPECT_EQ(r.out, "\nClearing adapter setting, please wait ...  Done\n"
                         "Updating adapter setting, please wait ... " + UPDATE_DOTS + " Done\n"
                         "Checksum of adapter setting = " +
                             hex8(adapterChecksum(expectedArea.data(), expectedArea.size())) + "\n" +
                             (c.differ ? "Adapter setting update failed, 1 bytes differ\n" : "") +
                             "done in T seconds\nCPU reset.\n");
    }
}

// On a plain UART the read-back is one XMODEM read of the whole area, and a
// byte that did not take is still found.
TEST(SettingTransferUart, ReadBackIsOneXmodemReadOfTheArea)
{
    const Bytes image = patternBytes(device::SETTINGS_SIZE, 23);
    TempDir dir;
    const std::string file = dir.path("user.dat");
    writeFile(file, image);
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck ? "stuck byte" : "sound");
        SimOptions options;
        options.link = SimLink::Uart;
        auto adapter = std::make_shared<SimAdapter>(options);
        const uint32_t base = adapter->settingsBase();
        if (stuck)
            adapter->faults.stuckByte = base + 2000;
        SimPortFactory factory;
        factory.addAdapter("ttyS0", adapter, false);
        TarvoRun r = runTarvoInProcess({"-u", file}, factory);
        EXPECT_EQ(r.status, stuck ? 1 : 0) << r.err;
        EXPECT_EQ(r.out.find("bytes differ") != std::string::npos, stuck) << r.out;
        char read[32];
        snprintf(read, sizeof(read), "R%08X,00001000#", base);
        const auto& commands = adapter->record.commands;
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back(), read);
        EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                                [](const std::string& c) { return c[0] == 'R' || c[0] == 'w'; }),
                  // the connection's own word reads come before the erase
                  std::count_if(commands.begin(),
                                std::find_if(commands.begin(), commands.end(),
                                             [](const std::string& c) { return c[0] == 'X'; }),
                                [](const std::string& c) { return c[0] == 'w'; }) + 1);
    }
}

TEST_F(SettingTransferTest, FailedSaveSaysWhyAndFailsTheRun)
{
    auto adapter = adapterFor(device::CHIP_256K);
    const std::string dir = _dir.path("a-directory");
    std::filesystem::create_directory(dir);
    struct Case {
        std::string target;
        std::string reason;
    } cases[] = {
        {dir, "cannot write " + dir + ": Is a directory"},
        {_dir.path("no/such/dir/user.dat"),
         "cannot create " + _dir.path("no/such/dir/user.dat") + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        TarvoRun r = run(adapter, {"-s", "-R", c.target});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "\nDownloading Lens Setting ... Failed to create file " + c.target +
                             " , abort\ndone in T seconds\nCPU reset.\n");
        EXPECT_EQ(r.err, "Try to open USB device ... \n" + c.reason + "\n");
        EXPECT_EQ(adapter->record.resets, 1u) << "the run goes on after a failed save";
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(SettingTransferTest, AdapterFailingDuringTheDumpLeavesTheFileAlone)
{
    auto adapter = adapterFor(device::CHIP_256K);
    const Bytes old(100, 0x33);
    writeFile(_file, old);
    adapter->faults.goneAfter = 100;  // mid-way through the 1024 word reads
    TarvoRun r = run(adapter, {"-s", _file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
    EXPECT_EQ(readFile(_file), old);
}

// The real programs over a pseudo-terminal, with stdout a pipe: the progress
// shows while the adapter works, and a byte that does not program fails the
// run.
TEST(SettingTransferEndToEnd, ProgressShowsAsItHappensAndAStuckByteFails)
{
    TempDir dir;
    const std::string file = dir.path("user.dat");
    writeFile(file, patternBytes(device::SETTINGS_SIZE, 5));
    // Slow rows and pages keep each stage going long after its text.
    ChildProcess sim({binPath("tarvo-sim"), "--erase-us=100000", "--page-us=30000",
                      "--stuck-byte=0x3F800"});
    ASSERT_TRUE(sim.waitForOutput("\n", 10000));
    const std::string tty = sim.out().substr(0, sim.out().find('\n'));
    ChildProcess tarvo({binPath("tarvo"), "-p", tty, "-u", file});

    ASSERT_TRUE(tarvo.waitForOutput("Clearing adapter setting, please wait ... ", 30000));
    EXPECT_EQ(tarvo.out().find("Done"), std::string::npos) << tarvo.out();
    ASSERT_TRUE(tarvo.waitForOutput("Updating adapter setting, please wait ... .", 30000));
    EXPECT_EQ(tarvo.out().find("Checksum"), std::string::npos) << tarvo.out();

    ProcessResult r = tarvo.finish(60000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(UPDATE_DOTS + " Done\nChecksum of adapter setting = 0x"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nAdapter setting update failed, 1 bytes differ\ndone in "),
              std::string::npos)
        << r.out;
}

}  // namespace
