// tarvo-pack run as a program: what it builds is what the updater accepts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Device.h"
#include "FirmwareCheck.h"
#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"

namespace {

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The chip whose firmware region a total fills, or 0.
uint32_t chipForTotal(uint32_t total)
{
    for (uint32_t chip : {device::CHIP_128K, device::CHIP_256K})
        if (device::romSize(chip) == total)
            return chip;
    return 0;
}

class PackToolTest : public testing::Test {
protected:
    ProcessResult pack(std::vector<std::string> args)
    {
        args.insert(args.begin(), binPath("tarvo-pack"));
        return runProcess(args, 20000);
    }

    int checkAt(const std::string& file, int base)
    {
        StdFile f(fopen(file.c_str(), "rb"));
        return FirmwareCheck(base, f.get());
    }

    TempDir _dir;
    std::string _payload = _dir.path("payload.bin");
    std::string _settings = _dir.path("settings.bin");
    std::string _pkg = _dir.path("out.fw");
};

TEST_F(PackToolTest, EveryHeaderFieldLandsWhereTheUpdaterReadsIt)
{
    writeFile(_payload, patternBytes(100, 3));
    ProcessResult r = pack({"create", "--signature=VMDE", "--hw=0x1234,0x12FF,7", "--sw-ver=0x0A0B",
                            "--field06=0xBEEF", "--load-addr=0x1000", "--total=128",
                            "--plain-checksum=0x11223344", "--field14=0102030405060708090A",
                            "--warm-reset=0x80", "--handling=5", "--payload-checksum", "0x55667788",
                            "--allow-invalid", _payload, _pkg});
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes pkg = readFile(_pkg);
    ASSERT_EQ(pkg.size(), 48u + 128 + 4);
    const Bytes header = {
        'V', 'M', 'D', 'E', 0x0B, 0x0A, 0xEF, 0xBE, 0x00, 0x10, 0, 0, 0x80, 0, 0, 0,
        0x44, 0x33, 0x22, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x80, 5,
        0x34, 0x12, 0xFF, 0x12, 7, 0, 7, 0, 7, 0, 7, 0, 7, 0, 7, 0,
    };
    EXPECT_EQ(Bytes(pkg.begin(), pkg.begin() + 48), header);
    Bytes payload = patternBytes(100, 3);
    payload.resize(128, 0xFF);  // padded to a whole block with erased-flash bytes
    EXPECT_EQ(Bytes(pkg.begin() + 48, pkg.begin() + 176), payload);
    EXPECT_EQ(Bytes(pkg.end() - 4, pkg.end()), (Bytes{0x88, 0x77, 0x66, 0x55}));
}

TEST_F(PackToolTest, ComputedChecksumsPassTheCheckAndCoverTheStreamedRange)
{
    writeFile(_payload, patternBytes(5000, 4));
    Bytes image = patternBytes(4096, 5);
    writeFile(_settings, image);
    struct Case {
        std::vector<std::string> args;
        uint32_t total;
        uint8_t handling;
    } cases[] = {
        {{"--type=N", "--hw=0x1234", "--fit=256"}, 0x3E000, 0},
        {{"--type=K", "--hw=0x1234", "--fit=0x1001030B", "--handling=1"}, 0x1E000, 1},
        {{"--type=C", "--hw=0x1234", "--fit=128", "--handling=2", "--settings=" + _settings},
         0x1E000, 2},
        {{"--type=X", "--hw=0x1234", "--allow-invalid"}, 5056, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"create"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {_payload, _pkg});
        ProcessResult r = pack(args);
        ASSERT_EQ(r.status, 0) << c.args[0] << r.err;
        ASSERT_EQ(checkAt(_pkg, 0), 0) << c.args[0];
        EXPECT_EQ(g_fw_total_size, c.total);
        EXPECT_EQ(g_eeprom_handle, c.handling);

        Bytes pkg = readFile(_pkg);
        size_t range = c.total + (c.handling == 2 ? 4096 : 0);
        EXPECT_EQ(pkg.size(), 52 + c.total + (c.handling == 2 ? 4096u : 0u));
        EXPECT_EQ(g_plain_cksum, byteSum(pkg.data() + 48, range)) << c.args[0];
        if (c.handling == 2) {
            EXPECT_EQ(Bytes(pkg.end() - 4096, pkg.end()), image);
        }
    }
}

// Whatever --total says, the plain checksum is the sum of the bytes the
// update streams from the payload start, as they lie in the file.
TEST_F(PackToolTest, PlainChecksumCoversExactlyTheStreamedRangeWithAnyTotal)
{
    writeFile(_payload, patternBytes(5000, 4));  // padded to 5056
    writeFile(_settings, patternBytes(4096, 5));
    struct Case {
        const char* total;
        uint8_t handling;
        size_t range;
    } cases[] = {
        {"64", 2, 64 + 4096},      // within the padded payload
        {"4096", 2, 4096 + 4096},  // payload, its checksum and the image's head
        {"5056", 2, 5056 + 4096},
        {"64", 0, 64},
        {"5056", 1, 5056},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.total) + ", handling " + std::to_string(c.handling));
        std::vector<std::string> args = {"create", "--type=N", "--hw=1", "--allow-invalid",
                                         std::string("--total=") + c.total,
                                         "--handling=" + std::to_string(c.handling)};
        if (c.handling == 2)
            args.push_back("--settings=" + _settings);
        args.insert(args.end(), {_payload, _pkg});
        ProcessResult r = pack(args);
        ASSERT_EQ(r.status, 0) << r.err;
        Bytes pkg = readFile(_pkg);
        ASSERT_GE(pkg.size(), 48 + c.range);
        const uint32_t plain = pkg[0x10] | pkg[0x11] << 8 | pkg[0x12] << 16 |
                               static_cast<uint32_t>(pkg[0x13]) << 24;
        EXPECT_EQ(plain, byteSum(pkg.data() + 48, c.range));
    }
}

TEST_F(PackToolTest, DoubleDashEndsTheOptions)
{
    writeFile(_payload, patternBytes(64, 6));
    ProcessResult r = pack({"create", "--type=N", "--hw=1", "--fit=128k", "--", _payload, _pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(checkAt(_pkg, 0), 0);
    r = pack({"info", "--", _pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(endsWith(r.out, "end of file, 1 package\n")) << r.out;
    // After "--" an option-like word is an operand.
    r = pack({"create", "--type=N", "--", "--hw=1", _payload, _pkg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "tarvo-pack: create takes a payload file and a package file");
}

// A walk past 2 GiB: a first package of 2 GiB of zeros (a sparse file), then
// a second one just beyond 0x80000000.
TEST_F(PackToolTest, InfoReportsPackagesBeyondTwoGigabytes)
{
    PackageFields huge;
    huge.total = 0x80000000;
    huge.payloadCksum = 0;
    huge.plainCksum = 0;
    Bytes head = buildPackage(huge);  // the header and the checksum; no payload
    PackageFields small;
    small.payload = patternBytes(64, 3);
    const Bytes second = buildPackage(small);
    {
        std::ofstream out(_pkg, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(head.data()), 48);
        out.seekp(48 + 0x80000000LL);
        out.write(reinterpret_cast<const char*>(head.data() + 48), 4);
        out.write(reinterpret_cast<const char*>(second.data()), static_cast<std::streamsize>(second.size()));
        ASSERT_TRUE(out.good());
    }
    // Every payload byte is read and summed: allow for a slow build.
    ProcessResult r = runProcess({binPath("tarvo-pack"), "info", _pkg}, 120000);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Package 2 at offset 0x80000034\n"), std::string::npos) << r.out;
    EXPECT_TRUE(endsWith(r.out, "Walk ends at offset 0x800000A8: end of file, 2 packages\n")) << r.out;
}

TEST_F(PackToolTest, AppendedPackagesAreWalkedInOrder)
{
    writeFile(_payload, patternBytes(64, 6));
    writeFile(_settings, patternBytes(4096, 7));
    ASSERT_EQ(pack({"create", "--type=N", "--hw=0x12FF", "--handling=2", "--settings",
                    _settings, "--allow-invalid", _payload, _pkg}).status, 0);
    ProcessResult r = pack({"create", "--append", "--type=K", "--hw=0x2001,0x2002",
                            "--warm-reset=1", "--fit=256", _payload, _pkg});
    ASSERT_EQ(r.status, 0) << r.err;
    // Without an image the streamed range is the padded payload, so both sums agree.
    char sums[96];
    uint32_t sum = byteSum(patternBytes(64, 6)) + 0xFF * (0x3E000 - 64);
    snprintf(sums, sizeof(sums), "payload checksum 0x%08X, plain checksum 0x%08X\n", sum, sum);
    EXPECT_EQ(r.out, "Appended package at offset 0x00001074 of " + _pkg +
                         ": type K, total 0x0003E000, " + sums);
    ASSERT_EQ(checkAt(_pkg, 0x1074), 0);
    EXPECT_EQ(vmd_sigs, package::signature('K'));

    r = pack({"info", _pkg});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Package 1 at offset 0x00000000\n"
                         "  type letter:       N\n"
                         "  software version:  0x0000\n"
                         "  hardware versions: 0x12** 0x12** 0x12** 0x12** 0x12** 0x12** 0x12** "
                         "0x12**\n"
                         "  total size:        0x00000040 (64 bytes), fits no chip\n"
                         "  handling code:     2, setting area cleared, 4096-byte setting image "
                         "follows\n"
                         "  warm reset:        0x00, hard reset after the update\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Package 2 at offset 0x00001074\n"
                         "  type letter:       K\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("  hardware versions: 0x2001 0x2002 0x2002 0x2002 0x2002 0x2002 0x2002 "
                         "0x2002\n"
                         "  total size:        0x0003E000 (253952 bytes), fits chip 0x1001030A "
                         "(256 KB)\n"
                         "  handling code:     0, setting area kept\n"
                         "  warm reset:        0x01, started at 0x1000 after the update\n"),
              std::string::npos);
    EXPECT_TRUE(endsWith(r.out, "Walk ends at offset 0x0003F0A8: end of file, 2 packages\n"))
        << r.out;
}

TEST_F(PackToolTest, InfoSaysWhereAndWhyTheWalkStops)
{
    PackageFields good;
    good.payload = patternBytes(64, 8);
    Bytes goodPkg = buildPackage(good);
    PackageFields badSum = good;
    badSum.payloadCksum = byteSum(good.payload) + 1;
    PackageFields withImage = good;
    withImage.handling = 2;
    withImage.image = Bytes(4000, 0);  // 96 bytes short

    struct Case {
        std::vector<Bytes> packages;
        int status;
        std::string last;
    } cases[] = {
        {{goodPkg, buildPackage(badSum), goodPkg}, 1,
         "Walk stops at offset 0x00000074: package 2 is invalid, payload checksum differs from "
         "the payload's sum\n"},
        {{Bytes{'V', 'M', 'D', 'A', 0, 0}}, 1,
         "Walk stops at offset 0x00000000: package 1 is invalid, signature is not \"VMD\" "
         "followed by C, E, K, N or X\n"},
        {{goodPkg, Bytes(goodPkg.begin(), goodPkg.begin() + 60)}, 1,
         "Walk stops at offset 0x00000074: package 2 is invalid, payload ends before its total "
         "size\n"},
        {{buildPackage(withImage)}, 1,
         "  setting image:     incomplete, the file ends 96 bytes early\n"
         "Walk ends at offset 0x00001074: end of file, 1 package\n"},
        {{}, 1, "Walk ends at offset 0x00000000: the file holds no package\n"},
        {{goodPkg, goodPkg}, 0, "Walk ends at offset 0x000000E8: end of file, 2 packages\n"},
    };
    for (const auto& c : cases) {
        Bytes file;
        for (const auto& p : c.packages)
            file.insert(file.end(), p.begin(), p.end());
        writeFile(_pkg, file);
        ProcessResult r = pack({"info", _pkg});
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(endsWith(r.out, c.last)) << r.out;
    }
}

TEST_F(PackToolTest, RefusedCreateLeavesThePackageFileAsItWas)
{
    writeFile(_payload, patternBytes(300000, 9));
    writeFile(_settings, Bytes(4095, 0));
    const std::string longer = _dir.path("longer.bin");
    writeFile(longer, Bytes(4097, 0));
    const Bytes before = {1, 2, 3};
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--hw=1"}, "give either --type or --signature"},
        {{"--type=N"}, "missing --hw"},
        {{"--type=N", "--hw=1,2,3,4,5,6,7,8,9"}, "--hw takes 1 to 8 numbers from 0 to 0xFFFF"},
        {{"--type=N", "--hw=0x10000"}, "--hw takes 1 to 8 numbers from 0 to 0xFFFF"},
        {{"--type=N", "--hw=1", "--handling=2"}, "--settings goes with --handling=2, and only with it"},
        {{"--type=N", "--hw=1", "--settings=" + _settings}, "--settings goes with --handling=2, and only with it"},
        {{"--type=N", "--hw=1", "--handling=2", "--settings=" + _settings},
         "setting image " + _settings + " is not 4096 bytes long"},
        {{"--type=N", "--hw=1", "--handling=2", "--settings=" + longer},
         "setting image " + longer + " is not 4096 bytes long"},
        {{"--type=N", "--hw=1", "--fit=256k"}, "payload " + _payload + " is larger than the chip's firmware region"},
        {{"--type=N", "--hw=1", "--fit=64"}, "--fit takes 128k, 256k, 0x1001030B or 0x1001030A"},
        {{"--type=N", "--hw=1", "--sw-ver=0x10000"}, "invalid value for --sw-ver: '0x10000'"},
        {{"--type=N", "--hw=1", "--warm-reset=-1"}, "invalid value for --warm-reset: '-1'"},
        {{"--type=N", "--hw=1", "--bogus"}, "unrecognized option '--bogus'"},
    };
    for (bool append : {false, true}) {
        for (const auto& c : cases) {
            writeFile(_pkg, before);
            std::vector<std::string> args = {"create"};
            if (append)
                args.push_back("--append");
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {_payload, _pkg});
            ProcessResult r = pack(args);
            EXPECT_EQ(r.status, 1) << c.err;
            EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "tarvo-pack: " + c.err);
            EXPECT_EQ(readFile(_pkg), before) << c.err;
        }
    }
    ProcessResult r = pack({"create", "--type=N", "--hw=1", _pkg, _pkg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(_pkg), before);
}

// What tarvo never installs is refused with the reason, unless asked for on
// purpose; then the output says what is wrong with it.
TEST_F(PackToolTest, PackagesTarvoNeverInstallsAreRefusedUnlessAskedFor)
{
    writeFile(_payload, patternBytes(1000, 10));
    char sum[16];
    snprintf(sum, sizeof(sum), "0x%08X", byteSum(patternBytes(1000, 10)) + 0xFF * (0x1E000 - 1000));
    const std::string hint =
        "tarvo-pack: tarvo never installs such a package; --allow-invalid makes it for tests\n";
    struct Case {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"--type=Q", "--fit=128k"}, "type letter 'Q' is not one tarvo installs: C, E, K, N or X (upper case)"},
        {{"--type=e", "--fit=128k"}, "type letter 'e' is not one tarvo installs: C, E, K, N or X (upper case)"},
        {{"--signature=VMDA", "--fit=128k"}, "signature is not \"VMD\" followed by C, E, K, N or X"},
        {{"--signature=XMDE", "--fit=128k"}, "signature is not \"VMD\" followed by C, E, K, N or X"},
        {{"--type=E", "--fit=128k", "--load-addr=0"},
         "load address 0x00000000 is not 0x00001000, where every firmware starts"},
        {{"--type=E", "--fit=128k", "--load-addr=0x2000"},
         "load address 0x00002000 is not 0x00001000, where every firmware starts"},
        {{"--type=E", "--fit=128k", "--total=0xFFFFFFFF"},
         "total size 0xFFFFFFFF is not the firmware region the payload fills, 0x0001E000"},
        {{"--type=E", "--fit=256k", "--total=0x1E000"},
         "total size 0x0001E000 is not the firmware region the payload fills, 0x0003E000"},
        {{"--type=E"}, "the payload fills no chip's firmware region: give --fit=128k or --fit=256k"},
        {{"--type=E", "--fit=128k", "--payload-checksum=5"},
         "payload checksum 0x00000005 is not the payload's sum " + std::string(sum)},
    };
    const Bytes before = {7, 7};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        std::vector<std::string> args = {"create", "--hw=0x0203"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {_payload, _pkg});
        writeFile(_pkg, before);
        ProcessResult r = pack(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "tarvo-pack: " + c.problem + "\n" + hint);
        EXPECT_EQ(readFile(_pkg), before);

        args.insert(args.begin() + 1, "--allow-invalid");
        r = pack(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(endsWith(r.out, "\nInvalid on purpose (--allow-invalid), tarvo will not install "
                                    "it: " + c.problem + "\n"))
            << r.out;
        // What the update's walk makes of it: invalid, or fitting no chip.
        const int code = checkAt(_pkg, 0);
        EXPECT_TRUE(code != 0 || chipForTotal(g_fw_total_size) == 0) << code;
    }

    // Every reason is given, one a line.
    ProcessResult r = pack({"create", "--type=Q", "--hw=1", "--load-addr=0", _payload, _pkg});
    EXPECT_EQ(r.err, "tarvo-pack: type letter 'Q' is not one tarvo installs: C, E, K, N or X (upper case)\n"
                     "tarvo-pack: load address 0x00000000 is not 0x00001000, where every firmware starts\n"
                     "tarvo-pack: the payload fills no chip's firmware region: give --fit=128k or --fit=256k\n" +
                         hint);

    // A payload already as long as a chip's firmware region needs no --fit;
    // valid packages print no warning.
    writeFile(_payload, patternBytes(0x1E000 - 10, 11));
    r = pack({"create", "--type=C", "--hw=1", _payload, _pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Invalid"), std::string::npos);
    ASSERT_EQ(checkAt(_pkg, 0), 0);
    EXPECT_EQ(g_fw_total_size, 0x1E000u);
}

// Files that cannot serve are named with the real cause.
TEST_F(PackToolTest, UnusableFilesAreRefusedWithTheirCause)
{
    const std::string dir = _dir.path("a-dir");
    const std::string missing = _dir.path("missing.bin");
    std::filesystem::create_directory(dir);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"create", "--type=E", "--hw=1", "--fit=128k", dir, _pkg},
         "tarvo-pack: payload " + dir + " is a directory\n"},
        {{"create", "--type=E", "--hw=1", "--fit=128k", missing, _pkg},
         "tarvo-pack: cannot open payload " + missing + ": No such file or directory\n"},
        {{"info", dir}, "tarvo-pack: " + dir + " is a directory, not a package file\n"},
        {{"info", missing}, "tarvo-pack: cannot open " + missing + ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = pack(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(_pkg));
}

TEST_F(PackToolTest, HelpNamesTheChecksumItUses)
{
    ProcessResult r = pack({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("simulated adapter's checksum"), std::string::npos) << r.out;
    r = pack({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvo-pack: missing command\nTry 'tarvo-pack --help' for more information\n");
}

}  // namespace
