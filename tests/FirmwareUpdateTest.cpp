// -f run through the driver against the simulated adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "Checksum.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "PackageBuilder.h"
#include "SimPortFactory.h"
#include "SimRig.h"
#include "TarvoRun.h"

// FirmwareUpdate.cpp's hook between the walk and the read.
extern void (*g_beforePackageRead)();

namespace {

struct Adapter {
    uint32_t chip = device::CHIP_256K;
    uint16_t hw = 0x1234;
    uint8_t type = 'N';
};

class FirmwareUpdateTest : public testing::Test {
protected:
    TarvoRun flash(const Adapter& a, const std::vector<Bytes>& packages,
                   std::vector<std::string> extra = {})
    {
        Bytes file;
        for (const auto& p : packages)
            file.insert(file.end(), p.begin(), p.end());
        writeFile(_file, file);
        return flashFile(a, extra);
    }

    TarvoRun flashFile(const Adapter& a, std::vector<std::string> extra = {},
                       const std::function<void(SimAdapter&)>& arm = nullptr)
    {
        SimOptions options;
        options.chipId = a.chip;
        options.hardwareVersion = a.hw;
        options.typeLetter = a.type;
        _adapter = std::make_shared<SimAdapter>(options);
        _before = _adapter->flash();
        if (arm)
            arm(*_adapter);
        SimPortFactory factory;
        factory.addAdapter("SIM", _adapter);
        std::vector<std::string> args = {"-p", "SIM", "-f"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(_file);
        // The connection's own exchanges are not part of what is checked.
        return runTarvoInProcess(args, factory);
    }

    // A package that fits the adapter, its payload made from seed.
    static PackageFields fitting(const Adapter& a, uint8_t seed = 1)
    {
        PackageFields p;
        p.type = static_cast<char>(a.type);
        p.hwVer.fill(a.hw);
        p.payload = patternBytes(device::romSize(a.chip), seed);
        return p;
    }

    // The package whose payload sits in flash, by its seed; -1 when the
    // firmware region is as it was.
    int installedSeed(const Adapter& a, std::initializer_list<uint8_t> seeds)
    {
        const auto& flash = _adapter->flash();
        for (uint8_t seed : seeds) {
            Bytes payload = patternBytes(device::romSize(a.chip), seed);
            if (std::equal(payload.begin(), payload.end(), flash.begin() + 0x1000))
                return seed;
        }
        return std::equal(_before.begin(), _before.end(), flash.begin()) ? -1 : -2;
    }

    std::vector<std::string> commandsOf(char letter) const
    {
        std::vector<std::string> out;
        for (const auto& c : _adapter->record.commands)
            if (c[0] == letter)
                out.push_back(c);
        return out;
    }

    std::string noValid() const { return "No valid firmware found in " + _file + ", abort\n"; }

    TempDir _dir;
    std::string _file = _dir.path("fw.pkg");
    std::shared_ptr<SimAdapter> _adapter;
    Bytes _before;
};

std::string hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

TEST_F(FirmwareUpdateTest, InstallsOnBothChipsWithEachHandlingCode)
{
    struct Case {
        uint32_t chip;
        uint8_t handling;
        uint8_t warm;
        const char* erase;
        size_t blocks;
    } cases[] = {
        {device::CHIP_128K, 0, 1, "X00001000,1#", 1920},
        {device::CHIP_128K, 1, 0, "X00001000,0#", 1920},
        {device::CHIP_128K, 2, 0x80, "X00001000,0#", 1984},
        {device::CHIP_256K, 0, 0, "X00001000,1#", 3968},
        {device::CHIP_256K, 7, 1, "X00001000,0#", 3968},
        {device::CHIP_256K, 2, 1, "X00001000,0#", 4032},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex8(c.chip) + " handling " + std::to_string(c.handling));
        Adapter a{c.chip, 0x1234, 'N'};
        PackageFields p = fitting(a, 5);
        p.handling = c.handling;
        p.warmReset = c.warm;
        if (c.handling == 2)
            p.image = patternBytes(device::SETTINGS_SIZE, 6);
        const Bytes pkg = buildPackage(p);
        TarvoRun r = flash(a, {pkg}, {"-R"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;

        const uint32_t rom = device::romSize(c.chip);
        const uint32_t base = device::settingsBase(c.chip);
        const auto& flashNow = _adapter->flash();
        EXPECT_EQ(commandsOf('X'), std::vector<std::string>{c.erase});
        EXPECT_EQ(commandsOf('x'), std::vector<std::string>{"x#"});
        EXPECT_EQ(commandsOf('S').size(), c.blocks);
        EXPECT_EQ(commandsOf('Y').size(), 2 * c.blocks);
        EXPECT_TRUE(_adapter->record.bootloaderTouches.empty());
        EXPECT_TRUE(std::equal(_before.begin(), _before.begin() + 0x1000, flashNow.begin()));
        // Flash from 0x1000 holds the streamed range: the payload, and with
        // an image, the payload checksum and the image's head after it.
        EXPECT_TRUE(std::equal(pkg.begin() + 48, pkg.begin() + 48 + c.blocks * 64,
                               flashNow.begin() + 0x1000));
        if (c.handling == 0) {
            EXPECT_TRUE(std::equal(_before.begin() + base, _before.end(), flashNow.begin() + base));
            EXPECT_EQ(_adapter->record.erasedRows.back(), base - device::ROW_SIZE);
        } else {
            EXPECT_EQ(_adapter->record.erasedRows.back(), device::flashSize(c.chip) - device::ROW_SIZE);
        }
        if (c.handling != 0 && c.handling != 2) {
            EXPECT_TRUE(std::all_of(flashNow.begin() + base, flashNow.end(),
                                    [](uint8_t b) { return b == 0xFF; }));
        }

        const uint32_t crcProg = adapterChecksum(flashNow.data() + 0x1000, rom);
        const uint32_t crcSettings = adapterChecksum(flashNow.data() + base, device::SETTINGS_SIZE);
        EXPECT_EQ(r.out, "Updating firmware, please wait " + std::string((c.blocks + 15) / 16, '.') +
                             "\nDone\n"
                             "\tChecksum of Firmware code = " + hex8(crcProg) + "\n"
                             "\tChecksum of User Configuration Data = " + hex8(crcSettings) + "\n"
                             "\tFirmware update OK\n" +
                             (c.warm ? "Warm resetting adapter ... Done\n"
                                     : "Hard resetting adapter ... CPU reset.\nDone\n") +
                             "done in T seconds\n"
                             "Adapter restarted by the firmware update, power cycle skipped\n");
        // One restart, and -R does not add a second.
        EXPECT_EQ(_adapter->record.jumps.size() + _adapter->record.resets, 1u);
        EXPECT_EQ(_adapter->record.jumps.size(), c.warm ? 1u : 0u);
        std::vector<std::string> sums = commandsOf('Z');
        char verify[32];
        snprintf(verify, sizeof(verify), "Z00001000,%08X#", static_cast<unsigned>(c.blocks * 64));
        ASSERT_EQ(sums.size(), 3u);
        EXPECT_EQ(sums[2], verify);
    }
}

TEST_F(FirmwareUpdateTest, WalkTakesTheFirstPackageThatFits)
{
    const Adapter n256{device::CHIP_256K, 0x1234, 'N'};
    const Adapter n128{device::CHIP_128K, 0x1234, 'N'};
    auto with = [](PackageFields p, auto change) {
        change(p);
        return buildPackage(p);
    };
    auto hw = [](uint16_t v) { return [v](PackageFields& p) { p.hwVer.fill(v); }; };
    auto type = [](char t) { return [t](PackageFields& p) { p.type = t; }; };

    struct Case {
        const char* what;
        Adapter adapter;
        std::vector<Bytes> packages;
        int seed;  // installed package, -1 for none
    } cases[] = {
        {"second fits", n256, {with(fitting(n256, 1), hw(0x2234)), buildPackage(fitting(n256, 2))}, 2},
        {"first of two fitting", n256, {buildPackage(fitting(n256, 1)), buildPackage(fitting(n256, 2))}, 1},
        {"corrupt package stops the walk", n256,
         {with(fitting(n256, 1), [](PackageFields& p) { p.payloadCksum = 0; }),
          buildPackage(fitting(n256, 2))}, -1},
        {"skipped image package is stepped over", n256,
         {with(fitting(n256, 1), [](PackageFields& p) {
              p.hwVer.fill(0x9999);
              p.handling = 2;
              p.image = Bytes(4096, 0x77);
          }),
          buildPackage(fitting(n256, 2))}, 2},
        {"128K-size package on 256K chip", n256, {buildPackage(fitting(n128, 1))}, -1},
        {"256K-size package on 128K chip", n128, {buildPackage(fitting(n256, 1))}, -1},
        {"128K chip takes its own size", n128, {buildPackage(fitting(n256, 1)), buildPackage(fitting(n128, 2))}, 2},
        {"0x12FF accepts 0x1234", n256, {with(fitting(n256, 1), hw(0x12FF))}, 1},
        {"0x12FF accepts 0x12FF", {device::CHIP_256K, 0x12FF, 'N'}, {with(fitting(n256, 1), hw(0x12FF))}, 1},
        {"0x12FF refuses 0x1334", {device::CHIP_256K, 0x1334, 'N'}, {with(fitting(n256, 1), hw(0x12FF))}, -1},
        {"0x1234 refuses 0x1235", {device::CHIP_256K, 0x1235, 'N'}, {buildPackage(fitting(n256, 1))}, -1},
        {"one matching entry of eight", n256,
         {with(fitting(n256, 1), [](PackageFields& p) { p.hwVer = {1, 2, 3, 4, 5, 6, 7, 0x1234}; })}, 1},
        {"N adapter refuses K", n256, {with(fitting(n256, 1), type('K'))}, -1},
        {"K adapter refuses N", {device::CHIP_256K, 0x1234, 'K'}, {buildPackage(fitting(n256, 1))}, -1},
        {"K adapter takes K", {device::CHIP_256K, 0x1234, 'K'},
         {buildPackage(fitting(n256, 1)), with(fitting(n256, 2), type('K'))}, 2},
        {"empty file", n256, {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TarvoRun r = flash(c.adapter, c.packages);
        EXPECT_EQ(installedSeed(c.adapter, {1, 2}), c.seed);
        if (c.seed < 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, noValid() + "done in T seconds\n");
            EXPECT_TRUE(commandsOf('X').empty());
            EXPECT_TRUE(commandsOf('S').empty());
        } else {
            EXPECT_EQ(r.status, 0) << r.out;
        }
    }
}

TEST_F(FirmwareUpdateTest, TypeGateRefusesUnknownAdaptersUnlessForced)
{
    const PackageFields pkg = fitting(Adapter{device::CHIP_256K, 0x1234, 'X'}, 1);
    const std::string refused = "Not Corvane adapters, unable to update, abort\n";
    struct Case {
        uint8_t type;
        bool force;
        int status;
        std::string out;  // start of the output
        unsigned resets;  // from -R, or the update's hard reset
        bool installed;
    } cases[] = {
        {0xFF, false, 1, refused, 0, false},
        {0xFF, true, 0, "Updating firmware, please wait ", 1, true},  // any letter fits
        {'A', false, 1, refused, 0, false},
        {'A', true, 1, noValid() + "done in T seconds\nCPU reset.\n", 1, false},
        {'X', false, 0, "Updating firmware, please wait ", 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.type)) + (c.force ? " -I" : ""));
        Adapter a{device::CHIP_256K, 0x1234, c.type};
        PackageFields p = pkg;
        p.warmReset = 0;  // a hard restart, so that a skipped -R shows as one reset
        std::vector<std::string> extra = {"-R"};
        if (c.force)
            extra.push_back("-I");
        TarvoRun r = flash(a, {buildPackage(p)}, extra);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
        if (c.status == 1 && c.out == refused) {
            EXPECT_EQ(r.out, refused);
        }
        EXPECT_EQ(_adapter->record.resets, c.resets);
        EXPECT_EQ(installedSeed(a, {1}), c.installed ? 1 : -1);
    }
}

TEST_F(FirmwareUpdateTest, FailuresEndWithStatusOne)
{
    const Adapter a{device::CHIP_128K, 0x0203, 'E'};
    PackageFields wrongPlain = fitting(a, 3);
    wrongPlain.plainCksum = 0x12345678;
    PackageFields shortImage = fitting(a, 3);
    shortImage.handling = 2;
    shortImage.image = Bytes(4095, 0x44);
    const Bytes withShortImage = buildPackage(shortImage);
    const std::string refusedImage =
        "Setting image of the firmware package in " + _file + " is incomplete, abort\n";
    struct Case {
        const char* what;
        std::optional<Bytes> file;
        std::string outTail;
        bool written;
    } cases[] = {
        {"verification fails", buildPackage(wrongPlain),
         "\tFirmware update failed\nWarm resetting adapter ... Done\ndone in T seconds\n"
         "Adapter restarted by the firmware update, power cycle skipped\n",
         true},
        {"image cut short", withShortImage, refusedImage + "done in T seconds\nCPU reset.\n",
         false},
        {"image missing", Bytes(withShortImage.begin(), withShortImage.end() - 4095),
         refusedImage + "done in T seconds\nCPU reset.\n", false},
        {"missing file", std::nullopt, "Failed in opening firmware file " + _file + ", abort\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remove(_file.c_str());
        if (c.file)
            writeFile(_file, *c.file);
        TarvoRun r = flashFile(a, {"-R"});
        EXPECT_EQ(r.status, 1);
        ASSERT_GE(r.out.size(), c.outTail.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - c.outTail.size()), c.outTail);
        EXPECT_EQ(installedSeed(a, {3}), c.written ? 3 : -1);
        EXPECT_EQ(commandsOf('X').size(), c.written ? 1u : 0u);
    }
}

// The package is read once, checked in memory and streamed from there: a
// file cut short or rewritten once the adapter is being erased changes
// nothing that is installed.
TEST_F(FirmwareUpdateTest, InstallsWhatWasCheckedWhenTheFileChangesAtTheErase)
{
    const Adapter a{device::CHIP_128K, 0x1234, 'N'};
    auto withImage = [&](uint8_t seed) {
        PackageFields p = fitting(a, seed);
        p.handling = 2;
        p.image = patternBytes(device::SETTINGS_SIZE, static_cast<uint8_t>(seed + 1));
        return buildPackage(p);
    };
    const Bytes pkg = withImage(3);
    const size_t streamed = device::romSize(a.chip) + device::SETTINGS_SIZE;
    struct Case {
        const char* what;
        Bytes replacement;
    } cases[] = {
        {"cut to its header", Bytes(pkg.begin(), pkg.begin() + 48)},
        {"cut inside the image", Bytes(pkg.begin(), pkg.end() - 100)},
        {"emptied", {}},
        {"rewritten with another payload", withImage(7)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(_file, pkg);
        TarvoRun r = flashFile(a, {}, [&](SimAdapter& sim) {
            sim.onCommand = [&](const std::string& command) {
                if (command[0] == 'X')
                    writeFile(_file, c.replacement);
            };
        });
        EXPECT_EQ(readFile(_file), c.replacement) << "the hook ran";
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\tFirmware update OK\n"), std::string::npos) << r.out;
        EXPECT_TRUE(std::equal(pkg.begin() + 48, pkg.begin() + 48 + streamed,
                               _adapter->flash().begin() + 0x1000));
    }
}

// A file changed between the walk and the read into memory: what is taken is
// what the read found, checked again to be valid, whole and fitting, and
// nothing beyond the package.
std::string g_rewriteTo;
Bytes g_rewriteWith;

TEST(FirmwarePackageTake, AFileChangedAfterTheWalkIsCheckedAgain)
{
    SimOptions options;
    options.chipId = device::CHIP_128K;
    options.hardwareVersion = 0x1234;
    options.typeLetter = 'N';
    SimRig rig(options);
    ASSERT_TRUE(rig.connect());
    auto package = [](uint16_t hw, uint8_t seed, bool image) {
        PackageFields p;
        p.hwVer.fill(hw);
        p.payload = patternBytes(device::romSize(device::CHIP_128K), seed);
        if (image) {
            p.handling = 2;
            p.image = patternBytes(device::SETTINGS_SIZE, seed);
        }
        return p;
    };
    const Bytes walked = buildPackage(package(0x1234, 1, true));
    PackageFields badSum = package(0x1234, 2, true);
    badSum.payloadCksum = 1;
    struct Case {
        const char* what;
        Bytes read;  // the file as the read finds it
        PackageTake take;
    } cases[] = {
        {"unchanged", walked, PackageTake::Taken},
        {"another board's package", buildPackage(package(0x9999, 2, true)), PackageTake::NoneFits},
        {"payload sum wrong", buildPackage(badSum), PackageTake::NoneFits},
        {"image cut short", Bytes(walked.begin(), walked.end() - 1), PackageTake::ImageIncomplete},
        {"a fitting package without image, then more", buildPackage(package(0x1234, 3, false)),
         PackageTake::Taken},
    };
    TempDir dir;
    g_rewriteTo = dir.path("fw.pkg");
    g_beforePackageRead = [] { writeFile(g_rewriteTo, g_rewriteWith); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_rewriteWith = c.read;
        // The rest of the file stays where the walked package's image was.
        if (c.read.size() < walked.size() && c.take == PackageTake::Taken)
            g_rewriteWith.insert(g_rewriteWith.end(), walked.begin() + static_cast<long>(c.read.size()),
                                 walked.end());
        writeFile(g_rewriteTo, walked);
        TakenPackage taken;
        EXPECT_EQ(takePackage(rig.samba, device::CHIP_128K, g_rewriteTo.c_str(), false, taken), c.take);
        EXPECT_EQ(readFile(g_rewriteTo), g_rewriteWith) << "the hook ran";
        if (c.take == PackageTake::Taken) {
            EXPECT_EQ(taken.bytes, c.read);
        }
    }
    g_beforePackageRead = nullptr;
}

}  // namespace
