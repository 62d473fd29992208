// -s and -u run through the driver against the simulated adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Checksum.h"
#include "Device.h"
#include "PackageBuilder.h"
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

        // Exactly one erase of the area, 64 staged copies into it, one checksum.
        std::vector<std::string> expected = {"X" + hex8(base).substr(2) + ",0#"};
        for (uint32_t offset = 0; offset < device::SETTINGS_SIZE; offset += 64) {
            char copy[32];
            snprintf(copy, sizeof(copy), "Y%08X,00000040#", base + offset);
            expected.insert(expected.end(), {"S20000000,00000040#", "Y20000000,0#", copy});
        }
        expected.push_back("Z" + hex8(base).substr(2) + ",00001000#");
        std::vector<std::string> seen;
        for (const auto& c : adapter->record.commands)
            if (std::string("SXYZ").find(c[0]) != std::string::npos)
                seen.push_back(c);
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(adapter->record.erasedRows.front(), base);
        EXPECT_EQ(adapter->record.erasedRows.size(), device::SETTINGS_SIZE / device::ROW_SIZE);
        EXPECT_TRUE(adapter->record.bootloaderTouches.empty());
    }
}

TEST_F(SettingTransferTest, RestoreRefusesAFileItCannotUseWhole)
{
    struct Case {
        const char* what;
        std::optional<Bytes> file;
        std::string message;
    } cases[] = {
        {"missing file", std::nullopt, "Failed in opening adapter setting file " + _file + ", abort\n"},
        {"empty file", Bytes{}, "Adapter setting file " + _file + " is shorter than 4096 bytes, abort\n"},
        {"4095 bytes", Bytes(4095, 0x11), "Adapter setting file " + _file + " is shorter than 4096 bytes, abort\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(_file);
        if (c.file)
            writeFile(_file, *c.file);
        auto adapter = adapterFor(device::CHIP_256K);
        const Bytes before = area(*adapter);
        TarvoRun r = run(adapter, {"-u", "-R", _file});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "\n" + c.message) << c.what;
        EXPECT_EQ(area(*adapter), before) << c.what;
        EXPECT_TRUE(adapter->record.erasedRows.empty()) << c.what;
        EXPECT_EQ(adapter->record.resets, 0u) << c.what << ": -R must not follow";
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
        // On a terminal it is the line after stdout's "abort".
        EXPECT_EQ(r.err, "Try to open USB device ... " + c.reason + "\n");
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

}  // namespace
