// Save, restore and firmware install through the real programs: tarvo
// against tarvo-sim on a pseudo-terminal, the package made by tarvo-pack.
// The exact texts are compared in-process; here the flash and the status count.
#include <gtest/gtest.h>

#include "PackageBuilder.h"
#include "SimRun.h"

namespace {

Bytes slice(const Bytes& bytes, size_t from, size_t size)
{
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + size));
}

class EndToEndFirmware : public testing::Test {
protected:
    void pack(std::vector<std::string> args)
    {
        args.insert(args.begin(), {binPath("tarvo-pack"), "create"});
        args.insert(args.end(), {_payload, _pkg});
        ProcessResult r = runProcess(args, 20000);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    int tarvo(const std::vector<std::string>& args, const std::string& expectInOut)
    {
        SimRun run = runAgainstSim({"--state=" + _state, "--stats=" + _stats}, args);
        EXPECT_NE(run.result.out.find(expectInOut), std::string::npos) << run.result.out;
        const Bytes counters = readFile(_stats);
        EXPECT_NE(std::string(counters.begin(), counters.end()).find("bootloader_touches 0\n"),
                  std::string::npos);
        return run.result.status;
    }

    TempDir _dir;
    std::string _state = _dir.path("flash.bin");
    std::string _stats = _dir.path("stats.txt");
    std::string _user = _dir.path("user.dat");
    std::string _pkg = _dir.path("fw.pkg");
    std::string _payload = _dir.path("payload.bin");
};

TEST_F(EndToEndFirmware, SaveRestoreAndInstall)
{
    ASSERT_EQ(tarvo({"-s", _user}, "Downloading Lens Setting ... done in"), 0);
    Bytes flash = readFile(_state);
    ASSERT_EQ(flash.size(), 0x40000u);
    const Bytes saved = slice(flash, 0x3F000, 4096);
    EXPECT_EQ(readFile(_user), saved);

    const Bytes other = patternBytes(4096, 21);
    std::copy(other.begin(), other.end(), flash.begin() + 0x3F000);
    writeFile(_state, flash);
    EXPECT_EQ(tarvo({"-u", _user}, std::string(64, '.') + " Done\n"), 0);
    Bytes restored = flash;
    std::copy(saved.begin(), saved.end(), restored.begin() + 0x3F000);
    EXPECT_EQ(readFile(_state), restored);

    writeFile(_payload, patternBytes(0x3E000 - 1000, 22));  // padded up by the tool
    pack({"--type=E", "--hw=0x02FF", "--fit=256k", "--handling=2", "--settings=" + _user});
    EXPECT_EQ(tarvo({"-f", _pkg, "-R"}, "\tFirmware update OK\nHard resetting adapter ... "), 0);
    const size_t streamed = 0x3E000 + 4096;
    EXPECT_EQ(slice(readFile(_state), 0x1000, streamed), slice(readFile(_pkg), 48, streamed));
}

TEST_F(EndToEndFirmware, FailuresReachTheExitStatus)
{
    writeFile(_payload, patternBytes(0x3E000, 24));
    pack({"--type=E", "--hw=0x0203", "--plain-checksum=1", "--warm-reset=1"});
    EXPECT_EQ(tarvo({"-f", _pkg, "-R"}, "\tFirmware update failed\nWarm resetting adapter"), 1);
    pack({"--type=K", "--hw=0x0203"});
    EXPECT_EQ(tarvo({"-f", _pkg, "-R"}, "No valid firmware found in " + _pkg +
                                            ", abort\ndone in"),
              1);
}

}  // namespace
