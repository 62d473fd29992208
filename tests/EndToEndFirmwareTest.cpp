// Save, restore and firmware install through the real programs: tarvo
// against tarvo-sim on a pseudo-terminal, packages made by tarvo-pack.
#include <gtest/gtest.h>

#include <regex>

#include "Checksum.h"
#include "Device.h"
#include "PackageBuilder.h"
#include "SimRun.h"

namespace {

std::string maskTiming(const std::string& s)
{
    return std::regex_replace(s, std::regex("done in +[0-9.]+ seconds"), "done in T seconds");
}

std::string hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

Bytes slice(const Bytes& bytes, size_t from, size_t size)
{
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + size));
}

class EndToEndFirmware : public testing::Test {
protected:
    ProcessResult pack(std::vector<std::string> args)
    {
        args.insert(args.begin(), binPath("tarvo-pack"));
        return runProcess(args, 20000);
    }

    TempDir _dir;
    std::string _state = _dir.path("flash.bin");
    std::string _user = _dir.path("user.dat");
    std::string _pkg = _dir.path("fw.pkg");
    std::string _payload = _dir.path("payload.bin");
};

TEST_F(EndToEndFirmware, SaveThenRestoreGivesBackTheArea)
{
    SimRun save = runAgainstSim({"--state=" + _state}, {"-s", _user});
    ASSERT_EQ(save.result.status, 0) << save.result.err;
    EXPECT_EQ(maskTiming(save.result.out), "\nDownloading Lens Setting ... done in T seconds\n");
    Bytes flash = readFile(_state);
    ASSERT_EQ(flash.size(), 0x40000u);
    const Bytes saved = slice(flash, 0x3F000, 4096);
    EXPECT_EQ(readFile(_user), saved);

    // The adapter's settings change; the restore puts the saved ones back.
    const Bytes other = patternBytes(4096, 21);
    std::copy(other.begin(), other.end(), flash.begin() + 0x3F000);
    writeFile(_state, flash);
    SimRun restore = runAgainstSim({"--state=" + _state}, {"-u", _user});
    ASSERT_EQ(restore.result.status, 0) << restore.result.err;
    EXPECT_EQ(maskTiming(restore.result.out),
              "\nClearing adapter setting, please wait ...  Done\n"
              "Updating adapter setting, please wait ... " + std::string(64, '.') + " Done\n"
              "Checksum of adapter setting = " + hex8(adapterChecksum(saved.data(), 4096)) + "\n"
              "done in T seconds\n");
    Bytes after = readFile(_state);
    EXPECT_EQ(slice(after, 0x3F000, 4096), saved);
    EXPECT_EQ(slice(after, 0, 0x3F000), slice(flash, 0, 0x3F000));
}

TEST_F(EndToEndFirmware, InstallsAPackageMadeByThePackageTool)
{
    struct Case {
        std::string chip;
        std::string handling;
        std::string warm;
        std::string restart;
    } cases[] = {
        {"128k", "0", "1", "Warm resetting adapter ... Done\n"},
        {"256k", "2", "0", "Hard resetting adapter ... CPU reset.\nDone\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chip + " handling " + c.handling);
        const bool small = c.chip == "128k";
        const uint32_t rom = small ? 0x1E000 : 0x3E000;
        writeFile(_payload, patternBytes(rom - 1000, 22));  // padded up by the tool
        writeFile(_user, patternBytes(4096, 23));
        std::vector<std::string> args = {"create", "--type=E", "--hw=0x02FF", "--fit=" + c.chip,
                                         "--warm-reset=" + c.warm, "--handling=" + c.handling};
        if (c.handling == "2")
            args.push_back("--settings=" + _user);
        args.insert(args.end(), {_payload, _pkg});
        ProcessResult made = pack(args);
        ASSERT_EQ(made.status, 0) << made.err;

        remove(_state.c_str());
        const std::string stats = _dir.path("stats.txt");
        SimRun run = runAgainstSim({"--chip=" + c.chip, "--state=" + _state, "--stats=" + stats},
                                   {"-f", _pkg, "-R"});
        EXPECT_EQ(run.result.status, 0) << run.result.err;

        const Bytes pkg = readFile(_pkg);
        const size_t streamed = rom + (c.handling == "2" ? 4096 : 0);
        const Bytes flash = readFile(_state);
        EXPECT_EQ(slice(flash, 0x1000, streamed), slice(pkg, 48, streamed));
        const uint32_t base = 0x1000 + rom;
        EXPECT_EQ(maskTiming(run.result.out),
                  "Updating firmware, please wait " + std::string((streamed / 64 + 15) / 16, '.') +
                      "\nDone\n"
                      "\tChecksum of Firmware code = " +
                      hex8(adapterChecksum(flash.data() + 0x1000, rom)) + "\n"
                      "\tChecksum of User Configuration Data = " +
                      hex8(adapterChecksum(flash.data() + base, 4096)) + "\n"
                      "\tFirmware update OK\n" + c.restart + "done in T seconds\n"
                      "Adapter restarted by the firmware update, power cycle skipped\n");
        const Bytes counterBytes = readFile(stats);
        const std::string counters(counterBytes.begin(), counterBytes.end());
        EXPECT_NE(counters.find("bootloader_touches 0\n"), std::string::npos) << counters;
    }
}

TEST_F(EndToEndFirmware, FailuresReachTheExitStatus)
{
    writeFile(_payload, patternBytes(0x3E000, 24));
    struct Case {
        const char* what;
        std::vector<std::string> packOptions;
        std::string outTail;
    } cases[] = {
        {"wrong plain checksum", {"--plain-checksum=1"},
         "\tFirmware update failed\nWarm resetting adapter ... Done\ndone in T seconds\n"
         "Adapter restarted by the firmware update, power cycle skipped\n"},
        {"no fitting package", {"--hw=0x0303"},
         "No valid firmware found in " + _pkg + ", abort\ndone in T seconds\nCPU reset.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"create", "--type=E", "--hw=0x0203", "--warm-reset=1"};
        args.insert(args.end(), c.packOptions.begin(), c.packOptions.end());
        args.insert(args.end(), {_payload, _pkg});
        ASSERT_EQ(pack(args).status, 0);
        SimRun run = runAgainstSim({}, {"-f", _pkg, "-R"});
        EXPECT_EQ(run.result.status, 1);
        std::string out = maskTiming(run.result.out);
        ASSERT_GE(out.size(), c.outTail.size()) << out;
        EXPECT_EQ(out.substr(out.size() - c.outTail.size()), c.outTail);
    }
}

}  // namespace
