// FirmwareCheck's result codes and package record on crafted package files.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "Device.h"
#include "FirmwareCheck.h"
#include "PackageBuilder.h"
#include "files/StdFile.h"
#include "TarvoXcon.h"

namespace {

class FirmwareCheckTest : public testing::Test {
protected:
    // Checks bytes as a file, at base; at base 0 the check of the same bytes
    // in memory must come to the same result.
    int check(const Bytes& bytes, int base = 0)
    {
        const int inMemory = base == 0 ? FirmwareCheckBuffer(bytes.data(), bytes.size()) : 0;
        writeFile(_file, bytes);
        StdFile f(fopen(_file.c_str(), "rb"));
        int code = FirmwareCheck(base, f.get());
        _posAfter = ftell(f.get());
        if (base == 0) {
            EXPECT_EQ(inMemory, code) << "in memory";
        }
        return code;
    }

    PackageFields payloadOf(size_t size, uint8_t seed = 1)
    {
        PackageFields p;
        p.payload = patternBytes(size, seed);
        return p;
    }

    TempDir _dir;
    std::string _file = _dir.path("pkg.fw");
    long _posAfter = -1;
};

TEST_F(FirmwareCheckTest, ValidPackageFillsTheRecord)
{
    PackageFields p = payloadOf(256);
    p.type = 'K';
    p.swVer = 0xA1B2;
    p.warmReset = 7;
    p.handling = 3;
    p.hwVer = {1, 2, 3, 4, 5, 6, 7, 0x12FF};
    p.plainCksum = 0xCAFEF00D;
    g_loader_addr = 0;

    ASSERT_EQ(check(buildPackage(p)), 0);
    EXPECT_EQ(vmd_sigs, package::signature('K'));
    EXPECT_EQ(g_sw_ver, 0xA1B2);
    EXPECT_EQ(g_loader_addr, 0x1000u);
    EXPECT_EQ(g_fw_total_size, 256u);
    EXPECT_EQ(g_plain_cksum, 0xCAFEF00Du);
    EXPECT_EQ(g_warm_reset, 7);
    EXPECT_EQ(g_eeprom_handle, 3);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(g_hw_ver[i], p.hwVer[i]) << i;
    EXPECT_EQ(g_enc_cksum, byteSum(p.payload));
    EXPECT_EQ(_posAfter, 52 + 256);
}

TEST_F(FirmwareCheckTest, CraftedFieldsGiveTheirCode)
{
    struct Case {
        const char* what;
        Bytes payload;
        std::optional<uint32_t> stored;  // payload checksum field
        uint32_t loadAddr;
        std::optional<uint32_t> total;   // a short payload with a large total would give -9
        int code;
    } cases[] = {
        {"empty payload", {}, 0, 0x1000, {}, 0},
        {"empty payload, sum 1", {}, 1, 0x1000, {}, -11},
        {"64 x 0xFF", Bytes(64, 0xFF), 0x3FC0, 0x1000, {}, 0},
        {"64 x 0xFF, sum one more", Bytes(64, 0xFF), 0x3FC1, 0x1000, {}, -11},
        {"64 x 0xFF, sum one less", Bytes(64, 0xFF), 0x3FBF, 0x1000, {}, -11},
        {"load address 0x2000", Bytes(64), {}, 0x2000, {}, -5},
        {"load address 0", Bytes(64), {}, 0, {}, -5},
        {"total 0x1E001", Bytes(64), {}, 0x1000, 0x1E001, -7},
        {"total 32", Bytes(64), {}, 0x1000, 32, -7},
    };
    for (const auto& c : cases) {
        PackageFields p;
        p.payload = c.payload;
        p.payloadCksum = c.stored;
        p.loadAddr = c.loadAddr;
        p.total = c.total;
        g_enc_cksum = 0x5A5A5A5A;
        EXPECT_EQ(check(buildPackage(p)), c.code) << c.what;
        // A failed check leaves the last good sum in place.
        EXPECT_EQ(g_enc_cksum, c.code == 0 ? byteSum(c.payload) : 0x5A5A5A5Au) << c.what;
    }

    const char* const accepted[] = {"VMDC", "VMDE", "VMDK", "VMDX"};
    const char* const refused[] = {"VMDA", "VMDc", "VMDn", "VMD\xFF", "vMDN", "VNDN", "VMEN", "XMDN"};
    for (const char* sig : accepted) {
        Bytes pkg = buildPackage(payloadOf(64));
        std::copy(sig, sig + 4, pkg.begin());
        EXPECT_EQ(check(pkg), 0) << sig;
    }
    for (const char* sig : refused) {
        Bytes pkg = buildPackage(payloadOf(64));
        std::copy(sig, sig + 4, pkg.begin());
        EXPECT_EQ(check(pkg), -3) << sig;
    }
}

TEST_F(FirmwareCheckTest, FileEndingInsideAFieldNamesThatField)
{
    const Bytes pkg = buildPackage(payloadOf(128));
    struct Case {
        size_t length;
        int code;
    } cases[] = {
        {0, -2}, {3, -2},                  // signature
        {4, -4}, {5, -4},                  // software version
        {8, -5}, {11, -5},                 // load address
        {12, -6}, {15, -6},                // total size
        {16, -8}, {19, -8},                // plain checksum
        {30, -1}, {32, -1}, {0x2F, -1},    // flags, hardware list
        {0x30, -9}, {0x30 + 64, -9}, {0x30 + 127, -9},   // payload
        {0x30 + 128, -10}, {0x30 + 131, -10},            // payload checksum
        {0x30 + 132, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(Bytes(pkg.begin(), pkg.begin() + static_cast<long>(c.length))), c.code)
            << "file of " << c.length << " bytes";
}

TEST_F(FirmwareCheckTest, UnreadFieldsAndTheSettingImageDoNotMatter)
{
    PackageFields p = payloadOf(64);
    p.handling = 2;
    Bytes pkg = buildPackage(p);  // no image at all after the payload checksum
    ASSERT_EQ(check(pkg), 0);
    for (size_t at : {0x06, 0x07, 0x14, 0x18, 0x1D}) {
        Bytes changed = pkg;
        changed[at] ^= 0xA5;
        EXPECT_EQ(check(changed), 0) << "byte " << at;
    }
    pkg.resize(pkg.size() + 100, 0x00);  // a partial image is not looked at either
    EXPECT_EQ(check(pkg), 0);
}

TEST_F(FirmwareCheckTest, LaterPackageAtItsOffsetLeavesItsOwnValues)
{
    PackageFields first = payloadOf(64, 1);
    first.handling = 2;
    first.image = Bytes(4096, 0xEE);
    PackageFields second = payloadOf(192, 2);
    second.type = 'X';
    second.swVer = 0x0203;
    second.warmReset = 0;
    second.hwVer = {0x4000, 0x40FF, 0, 0, 0, 0, 0, 0x0001};
    Bytes file = buildPackage(first);
    const int secondAt = static_cast<int>(file.size());
    EXPECT_EQ(secondAt, 64 + 4148);
    Bytes tail = buildPackage(second);
    file.insert(file.end(), tail.begin(), tail.end());

    ASSERT_EQ(check(file, 0), 0);
    ASSERT_EQ(check(file, secondAt), 0);
    EXPECT_EQ(vmd_sigs, package::signature('X'));
    EXPECT_EQ(g_sw_ver, 0x0203);
    EXPECT_EQ(g_fw_total_size, 192u);
    EXPECT_EQ(g_warm_reset, 0);
    EXPECT_EQ(g_eeprom_handle, 0);
    EXPECT_EQ(g_hw_ver[1], 0x40FF);
    EXPECT_EQ(g_enc_cksum, byteSum(second.payload));
    EXPECT_EQ(_posAfter, secondAt + 52 + 192);

    EXPECT_EQ(check(file, static_cast<int>(file.size())), -2);
    EXPECT_EQ(check(file, static_cast<int>(file.size()) + 1000), -2);
}

TEST_F(FirmwareCheckTest, PackageBeyondTwoGigabytesIsReached)
{
    const uint64_t at = 0xC0000000;  // past what an int or a 32-bit long holds
    const Bytes pkg = buildPackage(payloadOf(64, 9));
    {
        std::ofstream out(_file, std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(at));
        out.write(reinterpret_cast<const char*>(pkg.data()), static_cast<std::streamsize>(pkg.size()));
        ASSERT_TRUE(out.good());
    }
    StdFile f(fopen(_file.c_str(), "rb"));
    EXPECT_EQ(FirmwareCheckAt(at, f.get()), 0);
    EXPECT_EQ(g_enc_cksum, byteSum(payloadOf(64, 9).payload));
    EXPECT_EQ(FirmwareCheckAt(at - 64, f.get()), -3) << "zeros before it are no signature";
    Bytes back(pkg.size() + 10);
    EXPECT_EQ(readPackageBytes(f.get(), at, back.data(), back.size()), pkg.size());
    EXPECT_TRUE(std::equal(pkg.begin(), pkg.end(), back.begin()));
}

}  // namespace

namespace {

// Whichever of the eight entries holds the board version (or its 0xFF
// wildcard), the package fits; the other seven never veto it.
TEST(PackageFits, BoardVersionInAnyOneEntryFits)
{
    const PackageTarget target = {device::romSize(device::CHIP_256K), 0x0203, 'E'};
    TempDir dir;
    const std::string file = dir.path("one.fw");
    for (uint16_t accepting : {uint16_t{0x0203}, uint16_t{0x02FF}}) {
        for (int slot = 0; slot < package::HW_VER_COUNT; slot++) {
            SCOPED_TRACE("entry " + std::to_string(slot) + " accepts");
            PackageFields p;
            p.type = 'E';
            p.payload = Bytes(0x3E000, 0xFF);
            p.hwVer = {0x0103, 0x0204, 0x03FF, 0x0302, 0x0000, 0xFFFF, 0x0202, 0x0103};
            p.hwVer[static_cast<size_t>(slot)] = accepting;
            writeFile(file, buildPackage(p));
            StdFile f(fopen(file.c_str(), "rb"));
            uint64_t start = 1;
            EXPECT_TRUE(findFittingPackage(f.get(), target, start));
            EXPECT_EQ(start, 0u);
        }
    }
    // None of them accepts: no fit, and the walk ends at the end of the file.
    PackageFields p;
    p.type = 'E';
    p.payload = Bytes(0x3E000, 0xFF);
    p.hwVer = {0x0103, 0x0204, 0x03FF, 0x0302, 0x0000, 0xFFFF, 0x0202, 0x0103};
    writeFile(file, buildPackage(p));
    StdFile f(fopen(file.c_str(), "rb"));
    uint64_t start = 0;
    EXPECT_FALSE(findFittingPackage(f.get(), target, start));
}

}  // namespace
