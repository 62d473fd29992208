// The backup procedures in-process against the simulated adapter on the
// virtual clock: the round trip on each checksum the adapter may answer with,
// the refusals that must come before any erase, and a restore stopped
// between blocks and then run again.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>

#include "backup/Backup.h"
#include "backup/BackupSteps.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "PackageBuilder.h"
#include "files/PosixFileCalls.h"
#include "backup/Sha256.h"
#include "SimRig.h"

namespace {

using backup::Outcome;

class TestReport : public backup::Report {
public:
    void text(const std::string& lines) override { out += lines; }
    void stepStarted(const std::string&, uint64_t) override {}
    void stepProgress(uint64_t, uint64_t) override {}
    void stepFinished() override {}
    // Stops once it has been asked more than stopAfter times.
    bool stopRequested() override { return ++asked > stopAfter; }

    std::string out;
    uint64_t asked = 0;
    uint64_t stopAfter = UINT64_MAX;
};

Bytes slice(const Bytes& bytes, size_t from, size_t size)
{
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + size));
}

std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Makes adapter.txt agree with the files again, as a careful forger would.
void rerecord(const std::string& dir)
{
    std::string text = textOf(readFile(dir + "/adapter.txt"));
    for (const char* name : {"firmware.pkg", "settings.dat"}) {
        const Bytes file = readFile(dir + "/" + name);
        text = std::regex_replace(text, std::regex(std::string(name) + ": .*"),
                                  std::string(name) + ": " + std::to_string(file.size()) +
                                      " bytes, SHA-256 " + Sha256::hex(file.data(), file.size()));
    }
    writeFile(dir + "/adapter.txt", Bytes(text.begin(), text.end()));
}

// A package file with its payload sum fixed up after a change.
void fixPayloadSum(Bytes& pkg)
{
    const uint32_t total = pkg[12] | pkg[13] << 8 | pkg[14] << 16 | static_cast<uint32_t>(pkg[15]) << 24;
    const uint32_t sum = byteSum(pkg.data() + 48, total);
    for (int i = 0; i < 4; i++)
        pkg[48 + total + i] = static_cast<uint8_t>(sum >> (8 * i));
}

struct Adapter {
    explicit Adapter(SimOptions options = SimOptions(), bool usb = true)
        : rig(options, usbPort(usb))
    {
    }
    bool connect() { return rig.connect(); }
    uint32_t chip() const { return rig.adapter->options().chipId; }
    bool untouched() const
    {
        return rig.adapter->record.erasedRows.empty() && rig.adapter->record.writtenPages.empty();
    }
    Outcome save(const std::string& dir, TestReport& report, bool replace = false)
    {
        backup::Options options;
        options.replace = replace;
        return backup::save(rig.samba, chip(), dir, options, report);
    }
    Outcome verify(const std::string& target, TestReport& report,
                   backup::Verdicts* verdicts = nullptr)
    {
        return backup::verify(rig.samba, chip(), target, backup::Options(), report, verdicts);
    }
    Outcome restore(const std::string& dir, TestReport& report,
                    backup::Options options = backup::Options())
    {
        bool restarted = false;
        return backup::restore(rig.samba, chip(), dir, options, report, restarted);
    }
    SimRig rig;
};

TEST(Sha256, KnownDigests)
{
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        EXPECT_EQ(Sha256::hex(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()),
                  c.digest);
    }
    // Fed in pieces that straddle the blocks, the same digest.
    const std::string text(200, 'x');
    Sha256 pieces;
    for (size_t at = 0; at < text.size(); at += 7)
        pieces.update(reinterpret_cast<const uint8_t*>(text.data()) + at,
                      std::min<size_t>(7, text.size() - at));
    Sha256::Digest digest = pieces.finish();
    std::string hex;
    for (uint8_t b : digest) {
        char two[3];
        snprintf(two, sizeof(two), "%02x", b);
        hex += two;
    }
    EXPECT_EQ(hex, Sha256::hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(BackupRecord, ReadsBackWhatItWritesAndNamesWhatACutRecordLacks)
{
    backup::Record r;
    r.chipId = 0x1001030B;
    r.flashSize = 0x20000;
    // Adapter-sent texts that would forge a field if written as they are.
    r.serial = "X\nChip: \\x41\xFF";
    r.serialWords[0] = 0x68430A58;
    r.serialWords[1] = 0x203A7069;
    r.version = "v1\nSerial number: 0x0 0x0 (AA)\rVMD";
    r.board = 0x0203;
    r.type = 'K';
    r.firmwareChecksum = 0xDEADBEEF;
    r.settingsChecksum = 0x000FBD87;
    r.firmware = {123060, std::string(64, 'a')};
    r.settings = {4096, std::string(64, 'b')};
    AdapterIdentity id;
    id.serial = r.serial;
    id.board = r.board;
    const std::string report = backup::recordReport(r.version, id, 0x0A030105, 0x00000A02);
    const std::string text = backup::recordText(r, report, "now");
    // No line of the adapter's making; its texts read back exactly.
    EXPECT_NE(report.find("\nAdapter SN: X\\x0AChip: \\x5Cx41\\xFF , PCB Ver: 0x0203\n"
                          "Firmware Version: 0x0105\nROM Version: 0x03\nPre0=10, Pre1=2\n"
                          "Type=\\x0A\n"),
              std::string::npos) << report;

    backup::Record back;
    std::string missing;
    ASSERT_TRUE(backup::parseRecord(text, back, missing)) << missing << "\n" << text;
    EXPECT_EQ(back.chipId, r.chipId);
    EXPECT_EQ(back.flashSize, r.flashSize);
    EXPECT_EQ(back.serialWords[0], r.serialWords[0]);
    EXPECT_EQ(back.serialWords[1], r.serialWords[1]);
    EXPECT_EQ(back.serial, r.serial);
    EXPECT_EQ(back.version, r.version);
    EXPECT_EQ(back.board, r.board);
    EXPECT_EQ(back.type, r.type);
    EXPECT_EQ(back.firmwareChecksum, r.firmwareChecksum);
    EXPECT_EQ(back.settingsChecksum, r.settingsChecksum);
    EXPECT_EQ(back.firmware.size, r.firmware.size);
    EXPECT_EQ(back.firmware.sha256, r.firmware.sha256);
    EXPECT_EQ(back.settings.sha256, r.settings.sha256);

    const struct {
        const char* cutBefore;
        const char* missing;
    } cuts[] = {
        {"Chip: ", "chip"},
        {"Serial number: ", "serial number"},
        {"Board version: ", "board version"},
        {"Adapter type: ", "adapter type"},
        {"Settings checksum: ", "checksums of the adapter"},
        {"firmware.pkg: ", "size and SHA-256 of firmware.pkg"},
        {"settings.dat: ", "size and SHA-256 of settings.dat"},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.cutBefore);
        const std::string shorter =
            text.substr(0, text.find(std::string("\n") + cut.cutBefore) + 1);
        EXPECT_FALSE(backup::parseRecord(shorter, back, missing));
        EXPECT_EQ(missing, cut.missing);
    }
    // A record saved before the escaping, with a field forged in its report,
    // still reads its own: they come last.
    const std::string earlier = "Adapter SN: AB\nChip: 0x1001030A (256 KB of flash)\n" +
                                text.substr(text.find("\nChip: ") + 1);
    ASSERT_TRUE(backup::parseRecord(earlier, back, missing)) << missing;
    EXPECT_EQ(back.chipId, r.chipId);

    // A digest cut short within its line is no digest.
    const std::string cutDigest = text.substr(0, text.find("\nsettings.dat: ") - 9) + "\n";
    EXPECT_FALSE(backup::parseRecord(cutDigest, back, missing));
    EXPECT_EQ(missing, "size and SHA-256 of firmware.pkg");
}

struct Kind {
    const char* name;
    SimChecksum checksum;
    uint32_t chip;
    SimLink link;
    std::string serial = "AB123456";
    bool formatted = true;  // the setting area in the firmware's format
};

TEST(BackupRoundTrip, BringsBackTheAdapterWhateverItsChecksum)
{
    const Kind kinds[] = {
        {"sum 256k usb", SimChecksum::Sum, device::CHIP_256K, SimLink::Usb},
        {"crc32 256k usb", SimChecksum::Crc32, device::CHIP_256K, SimLink::Usb},
        {"crc32 128k uart", SimChecksum::Crc32, device::CHIP_128K, SimLink::Uart},
        {"sum 128k uart", SimChecksum::Sum, device::CHIP_128K, SimLink::Uart},
        {"erased serial number", SimChecksum::Sum, device::CHIP_256K, SimLink::Usb,
         std::string(8, '\xFF')},
        {"a serial number forging a field, a setting area of no format", SimChecksum::Crc32,
         device::CHIP_128K, SimLink::Usb, "X\nChip: ", false},
    };
    const char* const warning = "settings: the area is not in the emulated-EEPROM format";
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        SimOptions options = withLink(kind.link);
        options.checksum = kind.checksum;
        options.chipId = kind.chip;
        options.serial = kind.serial;
        Adapter a(options, kind.link == SimLink::Usb);
        const uint32_t flashSize = device::flashSize(kind.chip);
        // Firmware of its own, so that the sum and the CRC tell it apart.
        Bytes& flash = a.rig.adapter->flash();
        const Bytes firmware = patternBytes(device::romSize(kind.chip), 41);
        std::copy(firmware.begin(), firmware.end() - 16, flash.begin() + 0x1000);
        if (!kind.formatted)
            std::fill(flash.end() - 4096, flash.end() - 2048, 0x42);
        const Bytes saved = flash;
        ASSERT_TRUE(a.connect());

        TempDir dir;
        const std::string bk = dir.path("bk");
        TestReport report;
        ASSERT_EQ(a.save(bk, report), Outcome::Done) << report.out;
        EXPECT_TRUE(a.untouched());
        const std::string record = textOf(readFile(bk + "/adapter.txt"));
        char z[64];
        snprintf(z, sizeof(z), "Firmware checksum: 0x%08X",
                 simChecksum(kind.checksum, saved.data() + 0x1000, device::romSize(kind.chip)));
        EXPECT_NE(record.find(z), std::string::npos) << record;
        EXPECT_EQ(report.out.find(warning) == std::string::npos, kind.formatted);
        backup::Record parsed;
        std::string missing;
        ASSERT_TRUE(backup::parseRecord(record, parsed, missing)) << missing;
        EXPECT_EQ(parsed.serial, kind.serial.substr(0, kind.serial.find('\0')));

        // Two firmware bytes swapped: a byte sum stays the same, the bytes do not.
        std::swap(flash[0x1100], flash[0x1101]);
        report.out.clear();
        EXPECT_EQ(a.verify(bk, report), Outcome::Differs);
        EXPECT_NE(report.out.find("firmware: differs\n"), std::string::npos) << report.out;
        EXPECT_NE(report.out.find("settings: matches\n"), std::string::npos);
        std::swap(flash[0x1100], flash[0x1101]);

        // A firmware byte and a setting byte.
        flash[0x1100] ^= 0x01;
        flash[flashSize - 1] ^= 0x5A;
        report.out.clear();
        backup::Verdicts verdicts;
        EXPECT_EQ(a.verify(bk, report, &verdicts), Outcome::Differs);
        EXPECT_NE(report.out.find("firmware: differs\n"), std::string::npos) << report.out;
        EXPECT_NE(report.out.find("settings: differ in 1 bytes\n"), std::string::npos);
        // The same findings as data, for a caller that words them its own way.
        EXPECT_EQ(verdicts.firmware, backup::Verdicts::State::Differs);
        EXPECT_EQ(verdicts.settings, backup::Verdicts::State::Differs);
        EXPECT_EQ(verdicts.settingsDiffer, 1u);

        report.out.clear();
        ASSERT_EQ(a.restore(bk, report), Outcome::Done) << report.out;
        EXPECT_EQ(report.out.find(warning) == std::string::npos, kind.formatted);
        EXPECT_EQ(slice(flash, 0x1000, flashSize - 0x1000), slice(saved, 0x1000, flashSize - 0x1000));
        EXPECT_TRUE(a.rig.adapter->record.bootloaderTouches.empty());
        ASSERT_TRUE(a.connect());
        report.out.clear();
        EXPECT_EQ(a.verify(bk, report, &verdicts), Outcome::Done) << report.out;
        EXPECT_EQ(verdicts.settings, backup::Verdicts::State::Matches);
        EXPECT_EQ(a.verify(bk + "/firmware.pkg", report, &verdicts), Outcome::Done) << report.out;
        EXPECT_EQ(verdicts.firmware, backup::Verdicts::State::Matches);
        EXPECT_EQ(verdicts.settings, backup::Verdicts::State::NotCompared);
    }
}

class BackupRefusal : public testing::Test {
protected:
    void SetUp() override
    {
        Adapter a;
        ASSERT_TRUE(a.connect());
        TestReport report;
        ASSERT_EQ(a.save(_bk, report), Outcome::Done) << report.out;
    }

    TempDir _dir;
    std::string _bk = _dir.path("bk");
};

// Each refusal is made before the first erase: the adapter sees no erase and
// no write.
TEST_F(BackupRefusal, RestoreChecksEverythingBeforeItsFirstErase)
{
    const std::string pkg = _bk + "/firmware.pkg", settings = _bk + "/settings.dat";
    const struct {
        const char* name;
        std::function<void(SimOptions&)> adapter;
        std::function<void()> change;
        std::string says;
    } cases[] = {
        {"settings changed, still a valid image", nullptr,
         [&] {
             Bytes s = readFile(settings);
             s[100] ^= 0x01;
             writeFile(settings, s);
         },
         settings + " has changed since the save"},
        {"package changed, its payload sum fixed up", nullptr,
         [&] {
             Bytes p = readFile(pkg);
             p[500] ^= 0x10;
             fixPayloadSum(p);
             writeFile(pkg, p);
         },
         pkg + " has changed since the save"},
        {"settings cut short", nullptr,
         [&] { writeFile(settings, slice(readFile(settings), 0, 4000)); },
         settings + " has 4000 bytes where the backup recorded 4096"},
        {"package missing", nullptr, [&] { std::remove(pkg.c_str()); },
         "cannot open " + pkg},
        {"record missing", nullptr, [&] { std::remove((_bk + "/adapter.txt").c_str()); },
         _bk + " holds no complete backup"},
        {"record cut short", nullptr,
         [&] {
             const std::string t = textOf(readFile(_bk + "/adapter.txt"));
             const std::string cut = t.substr(0, t.find("settings.dat: "));
             writeFile(_bk + "/adapter.txt", Bytes(cut.begin(), cut.end()));
         },
         "records no size and SHA-256 of settings.dat"},
        {"package with handling code 1", nullptr,
         [&] {
             Bytes p = readFile(pkg);
             p[0x1F] = 1;
             writeFile(pkg, p);
             rerecord(_bk);
         },
         "its handling code 1 does not keep the setting area, abort"},
        {"handling-2 package with its image cut short", nullptr,
         [&] {
             Bytes p = readFile(pkg);
             p[0x1F] = 2;
             Bytes image = readFile(settings);
             p.insert(p.end(), image.begin(), image.begin() + 1000);
             writeFile(pkg, p);
             rerecord(_bk);
         },
         "Setting image of the firmware package in " + pkg + " is incomplete, abort"},
        {"settings not 4096 bytes, recorded so", nullptr,
         [&] {
             writeFile(settings, patternBytes(4000, 7));
             rerecord(_bk);
         },
         settings + " is not a setting area (4000 bytes, not 4096), abort"},
        {"a second package after the backup's own, recorded so", nullptr,
         [&] {
             Bytes p = readFile(pkg);
             const Bytes own = p;
             p.insert(p.end(), own.begin(), own.end());
             writeFile(pkg, p);
             rerecord(_bk);
         },
         pkg + " holds more than the backup's one package"},
        {"another serial number", [](SimOptions& o) { o.serial = "ZZ999999"; }, nullptr,
         "this one is SN ZZ999999; restore refused (--other-adapter restores it anyway)"},
        {"serial number's first character", [](SimOptions& o) { o.serial = "BB123456"; },
         nullptr, "this one is SN BB123456; restore refused"},
        {"serial number's last character", [](SimOptions& o) { o.serial = "AB123457"; },
         nullptr, "this one is SN AB123457; restore refused"},
        {"another board version", [](SimOptions& o) { o.hardwareVersion = 0x0204; }, nullptr,
         "the backup is of PCB Ver 0x0203, this one is 0x0204; restore refused"},
        {"another chip", [](SimOptions& o) { o.chipId = device::CHIP_128K; }, nullptr,
         "the backup is of chip 0x1001030A (256 KB), this one is 0x1001030B (128 KB); "
         "restore refused, abort"},
        {"another type", [](SimOptions& o) { o.typeLetter = 'K'; }, nullptr,
         "the backup is of type 0x45, this one is 0x4B; restore refused, abort"},
    };
    const Bytes original[] = {readFile(pkg), readFile(settings), readFile(_bk + "/adapter.txt")};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(pkg, original[0]);
        writeFile(settings, original[1]);
        writeFile(_bk + "/adapter.txt", original[2]);
        if (c.change)
            c.change();
        SimOptions options;
        if (c.adapter)
            c.adapter(options);
        Adapter a(options);
        ASSERT_TRUE(a.connect());
        TestReport report;
        EXPECT_EQ(a.restore(_bk, report), Outcome::Refused);
        EXPECT_NE(report.out.find(c.says), std::string::npos) << report.out;
        EXPECT_TRUE(a.untouched());
    }
}

TEST_F(BackupRefusal, VerifyChecksTheRecordAndTheAdapterFirst)
{
    const std::string settings = _bk + "/settings.dat";
    const Bytes full = readFile(settings);
    const struct {
        const char* name;
        std::function<void(SimOptions&)> adapter;
        std::function<void()> change;
        std::string says;
    } cases[] = {
        // The adapter's area starts with these very bytes.
        {"settings shorter than the area", nullptr,
         [&] { writeFile(settings, slice(full, 0, 2048)); },
         settings + " has 2048 bytes where the backup recorded 4096"},
        {"settings shorter, recorded so", nullptr,
         [&] {
             writeFile(settings, slice(full, 0, 2048));
             rerecord(_bk);
         },
         settings + " is not a setting area (2048 bytes, not 4096), abort"},
        {"another serial number", [](SimOptions& o) { o.serial = "ZZ999999"; }, nullptr,
         _bk + " is a backup of another adapter: the backup is of SN AB123456, this one is SN "
               "ZZ999999\n"},
        {"another chip", [](SimOptions& o) { o.chipId = device::CHIP_128K; }, nullptr,
         _bk + " is a backup of another adapter: the backup is of chip 0x1001030A (256 KB), "
               "this one is 0x1001030B (128 KB)"},
    };
    const Bytes record = readFile(_bk + "/adapter.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(settings, full);
        writeFile(_bk + "/adapter.txt", record);
        if (c.change)
            c.change();
        SimOptions options;
        if (c.adapter)
            c.adapter(options);
        Adapter a(options);
        ASSERT_TRUE(a.connect());
        TestReport report;
        EXPECT_EQ(a.verify(_bk, report), Outcome::Refused);
        EXPECT_NE(report.out.find(c.says), std::string::npos) << report.out;
        EXPECT_EQ(report.out.find("matches"), std::string::npos) << report.out;
    }
}

TEST_F(BackupRefusal, SaveChecksItsTargetBeforeReadingTheAdapter)
{
    writeFile(_dir.path("file"), Bytes(10, 1));
    std::filesystem::create_directory(_dir.path("theirs"));
    writeFile(_dir.path("theirs/photo.jpg"), Bytes(10, 1));
    const std::string settings = _bk + "/settings.dat";
    const struct {
        std::string target;
        bool replace;
        std::string says;
        std::function<void()> before, after;
    } cases[] = {
        {_dir.path("file"), true, _dir.path("file") + " is not a folder, abort\n", {}, {}},
        {_dir.path("theirs"), true,
         _dir.path("theirs") + " holds other files (" + _dir.path("theirs/photo.jpg") +
             ") and no backup; name a new or empty folder, abort\n",
         {}, {}},
        {_bk, false,
         _bk + " already holds a backup (" + _bk + "/firmware.pkg); --replace replaces it, abort\n",
         {}, {}},
        {_dir.path("file") + "/sub", false, _dir.path("file") + "/sub: Not a directory, abort\n",
         {}, {}},
        {_bk, true, settings + " is read-only; make it writable to replace the backup, abort\n",
         [&] { chmod(settings.c_str(), 0444); }, [&] { chmod(settings.c_str(), 0644); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        if (c.before)
            c.before();
        const Bytes kept = readFile(settings);
        Adapter a;
        ASSERT_TRUE(a.connect());
        const size_t commands = a.rig.adapter->record.commands.size();
        TestReport report;
        EXPECT_EQ(a.save(c.target, report, c.replace), Outcome::Refused);
        EXPECT_NE(report.out.find(c.says), std::string::npos) << report.out;
        EXPECT_EQ(a.rig.adapter->record.commands.size(), commands) << report.out;
        EXPECT_EQ(readFile(settings), kept);
        if (c.after)
            c.after();
    }
}

// A backup folder the user cannot write in: refused before the adapter is
// read, where it used to be replaced and its old copy left beside it. Root
// writes anywhere, so as root the folder is on a file system mounted read-only.
TEST_F(BackupRefusal, AFolderThatCannotBeWrittenInIsRefusedFirst)
{
    std::string bk = _bk;
    std::string unmountAt;
    if (geteuid() == 0) {
        const std::string mnt = _dir.path("ro");
        std::filesystem::create_directory(mnt);
        if (std::system(("mount -t tmpfs -o size=1m tmpfs " + mnt + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        unmountAt = mnt;
        bk = mnt + "/bk";
        std::filesystem::copy(_bk, bk);
        ASSERT_EQ(std::system(("mount -o remount,ro " + mnt).c_str()), 0);
    } else {
        chmod(bk.c_str(), 0555);
    }
    struct Undo {
        std::string bk, mnt;
        ~Undo()
        {
            if (!mnt.empty())
                (void)std::system(("umount " + mnt).c_str());
            else
                chmod(bk.c_str(), 0755);
        }
    } undo{bk, unmountAt};

    Adapter a;
    ASSERT_TRUE(a.connect());
    const size_t commands = a.rig.adapter->record.commands.size();
    TestReport report;
    EXPECT_EQ(a.save(bk, report, true), Outcome::Refused);
    EXPECT_NE(report.out.find("cannot write in " + bk + ": "), std::string::npos) << report.out;
    EXPECT_EQ(a.rig.adapter->record.commands.size(), commands) << report.out;
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(bk))
        entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0u);
}

TEST_F(BackupRefusal, ASaveReplacesTheFolderWholeAndKeepsTheUsersOwnFiles)
{
    namespace fs = std::filesystem;
    writeFile(_bk + "/notes.txt", Bytes{'h', 'i'});
    // Replaced through a link, which stays one; an empty folder is filled
    // where it is, with its owner and mode.
    const std::string link = _dir.path("link"), empty = _dir.path("empty");
    fs::create_directory_symlink(_bk, link);
    fs::create_directory(empty);
    chmod(empty.c_str(), 0751);
    struct stat was {}, now {};
    ASSERT_EQ(stat(empty.c_str(), &was), 0);
    SimOptions options;
    options.firmwareVersion = 0x0A030777;
    Adapter a(options);
    ASSERT_TRUE(a.connect());
    TestReport report;
    ASSERT_EQ(a.save(link, report, true), Outcome::Done) << report.out;
    EXPECT_EQ(fs::read_symlink(link), fs::path(_bk));
    EXPECT_EQ(readFile(_bk + "/notes.txt"), (Bytes{'h', 'i'}));
    EXPECT_EQ(slice(readFile(_bk + "/firmware.pkg"), 4, 2), (Bytes{0x77, 0x07}));
    ASSERT_EQ(a.save(empty, report), Outcome::Done) << report.out;
    ASSERT_EQ(stat(empty.c_str(), &now), 0);
    EXPECT_TRUE(now.st_ino == was.st_ino && now.st_uid == was.st_uid &&
                (now.st_mode & 07777) == 0751);
    // Nothing is left beside them: neither a new folder nor an old one.
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(_dir.path("")))
        entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0u);
}

TEST_F(BackupRefusal, AStoppedSaveWritesNothing)
{
    Adapter a;
    ASSERT_TRUE(a.connect());
    TestReport report;
    report.stopAfter = 20;  // within the firmware read
    const std::string other = _dir.path("new/deeper");
    EXPECT_EQ(a.save(other, report), Outcome::Interrupted);
    EXPECT_NE(report.out.find("Save interrupted, nothing written\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(_dir.path("new")));
}

// A restore stopped in the settings or in the firmware says what the adapter
// holds, and the same restore run again brings the backup back.
TEST_F(BackupRefusal, AStoppedRestoreNamesTheStateAndRunsAgain)
{
    const struct {
        const char* name;
        uint64_t stopAfter;  // one check before the writes, then one per block
        const char* state;
    } cases[] = {
        {"in the firmware", 1 + 100, "The adapter holds no complete firmware now (the "
                                     "firmware region was erased and not written whole, or does "
                                     "not match); its setting area is as it was.\n"},
        // After the firmware's 3968 blocks.
        {"in the settings", 1 + 3968 + 10, "The adapter's firmware is the backup's; its setting "
                                           "area does not hold the backup's settings now"},
    };
    const Bytes saved = [] {
        Adapter fresh;
        return fresh.rig.adapter->flash();
    }();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Adapter a;
        // Another firmware and settings, so that a partial write shows.
        Bytes& flash = a.rig.adapter->flash();
        const Bytes other = patternBytes(flash.size() - 0x1000, 9);
        std::copy(other.begin(), other.end(), flash.begin() + 0x1000);
        ASSERT_TRUE(a.connect());
        TestReport report;
        report.stopAfter = c.stopAfter;
        EXPECT_EQ(a.restore(_bk, report), Outcome::Interrupted);
        EXPECT_NE(report.out.find(c.state), std::string::npos) << report.out;
        EXPECT_NE(report.out.find("The adapter stays in its boot monitor. To put the whole "
                                  "backup back, run: tarvo-backup restore " + _bk + "\n"),
                  std::string::npos) << report.out;
        EXPECT_NE(slice(flash, 0x1000, flash.size() - 0x1000),
                  slice(saved, 0x1000, saved.size() - 0x1000));

        TestReport again;
        EXPECT_EQ(a.restore(_bk, again), Outcome::Done) << again.out;
        EXPECT_EQ(slice(flash, 0x1000, flash.size() - 0x1000),
                  slice(saved, 0x1000, saved.size() - 0x1000));
    }
}


// A firmware that fails its verification is written once more on the same
// connection, then the adapter is restarted once; the settings stay as they were.
TEST_F(BackupRefusal, AFailedVerificationIsWrittenOnceMoreThenRestartedOnce)
{
    Adapter a;
    Bytes& flash = a.rig.adapter->flash();
    const uint32_t base = a.rig.adapter->settingsBase();
    flash[base + 16] ^= 0x5A;
    const Bytes before = flash;
    a.rig.adapter->faults.stuckByte = base - 16;  // the firmware version word: programmed
    ASSERT_TRUE(a.connect());
    TestReport report;
    bool restarted = false;
    EXPECT_EQ(backup::restore(a.rig.samba, a.chip(), _bk, backup::Options(), report, restarted),
              Outcome::Failed);
    EXPECT_NE(report.out.find("writing it once more\n"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("setting area is as it was.\nThe adapter was restarted."),
              std::string::npos);
    const SimRecord& r = a.rig.adapter->record;
    EXPECT_EQ(r.erasedRows.size(), 2 * device::romSize(a.chip()) / 256);
    EXPECT_EQ(r.resets + r.jumps.size(), 1u);
    EXPECT_TRUE(restarted);
    EXPECT_EQ(slice(flash, base, 4096), slice(before, base, 4096));
}

// A package that carries a setting image: verify compares the image too.
TEST(BackupVerifyPackage, ComparesThePackagesSettingImage)
{
    Adapter a;
    ASSERT_TRUE(a.connect());
    PackageFields fields;
    fields.type = 'E';
    fields.hwVer.fill(0x0203);
    fields.handling = 2;
    fields.payload = patternBytes(device::romSize(a.chip()), 5);
    fields.image = patternBytes(4096, 6);
    TempDir dir;
    const std::string file = dir.path("with-image.fw");
    writeFile(file, buildPackage(fields));
    TakenPackage taken;
    ASSERT_EQ(takePackage(a.rig.samba, a.chip(), file.c_str(), false, taken), PackageTake::Taken);
    ASSERT_EQ(installPackage(a.rig.samba, taken, InstallOptions{{}, false, false}), Install::Verified);
    for (Outcome expected : {Outcome::Done, Outcome::Differs}) {
        TestReport report;
        EXPECT_EQ(a.verify(file, report), expected) << report.out;
        a.rig.adapter->flash()[a.rig.adapter->settingsBase() + 100] ^= 0x01;
    }
}

// A refused save (here an adapter of unknown type) removes the parent
// folders it made, and only those.
TEST(BackupSave, ARefusedSaveRemovesOnlyTheFoldersItMade)
{
    SimOptions options;
    options.typeLetter = 'Q';
    Adapter a(options);
    ASSERT_TRUE(a.connect());
    TempDir dir;
    std::filesystem::create_directory(dir.path("mine"));
    for (const std::string made : {"mine/made", "new"}) {
        TestReport report;
        EXPECT_EQ(a.save(dir.path(made + "/deeper/bk"), report), Outcome::Refused);
        EXPECT_NE(report.out.find("Adapter type 0x51 is not a known one"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir.path(made)));
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path("mine")));
}

// A disk that does not keep what the save wrote: the save reads its files
// back, fails, and puts nothing at the target.
TEST(BackupSave, FilesThatDoNotReadBackAsWrittenAreNoBackup)
{
    static int (*const systemFsync)(int) = posixFileCalls().fsync;
    const PosixFileCalls system = posixFileCalls();
    posixFileCalls().fsync = [](int fd) {
        struct stat st {};
        const uint8_t changed = 0xA5;
        if (fstat(fd, &st) == 0 && st.st_size > 100000 && pwrite(fd, &changed, 1, 1000) != 1)
            return -1;
        return systemFsync(fd);
    };
    Adapter a;
    TempDir dir;
    TestReport report;
    const Outcome saved = a.connect() ? a.save(dir.path("bk"), report) : Outcome::Refused;
    posixFileCalls() = system;
    EXPECT_EQ(saved, Outcome::Failed);
    EXPECT_NE(report.out.find("firmware.pkg has changed since the save"), std::string::npos)
        << report.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("bk")));
}

const char* g_killAt = "";

// A save killed at a step of putting its folder in place leaves the target
// a whole backup (or nothing, where there was none); the next save removes
// what it left beside it.
TEST_F(BackupRefusal, ASaveKilledWhileItsFolderGoesInPlaceLeavesAWholeBackup)
{
    namespace fs = std::filesystem;
    const Bytes oldPkg = readFile(_bk + "/firmware.pkg");
    const struct {
        const char* step;
        bool replace, newBackup;
    } cases[] = {{"rename", false, false}, {"exchange", true, false}, {"remove", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const std::string target = c.replace ? _bk : _dir.path("fresh");
        g_killAt = c.step;
        const pid_t pid = fork();
        if (pid == 0) {
            SimOptions options;
            options.firmwareVersion = 0x0A030777;
            Adapter a(options);
            backup::folderStepHook() = [](const char* step) {
                if (strcmp(step, g_killAt) == 0)
                    _exit(9);
            };
            TestReport report;
            _exit(a.connect() && a.save(target, report, c.replace) == Outcome::Done ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
        TestReport report;
        backup::BackupFiles files;
        EXPECT_EQ(backup::loadBackup(target, files, report), c.replace) << report.out;
        EXPECT_EQ(c.replace && files.package != oldPkg, c.newBackup);

        Adapter a;
        ASSERT_TRUE(a.connect());
        ASSERT_EQ(a.save(target, report, c.replace), Outcome::Done) << report.out;
        EXPECT_NE(report.out.find("Removed " + _dir.path(".")), std::string::npos) << report.out;
        for (const auto& entry : fs::directory_iterator(_dir.path("")))
            EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
}

}  // namespace

// A --replace save that runs out of room half way leaves the old backup byte
// for byte and nothing beside it. A small file system of its own needs root.
TEST_F(BackupRefusal, AFailedReplaceLeavesTheOldBackupAsItWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    const std::string mnt = _dir.path("small");
    std::filesystem::create_directory(mnt);
    // Room for one backup of the 256 KB chip, not for two.
    if (std::system(("mount -t tmpfs -o size=400k tmpfs " + mnt + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { (void)std::system(("umount " + at).c_str()); }
    } unmount{mnt};

    const std::string bk = mnt + "/bk";
    {
        Adapter a;
        ASSERT_TRUE(a.connect());
        TestReport report;
        ASSERT_EQ(a.save(bk, report), Outcome::Done) << report.out;
    }
    std::vector<Bytes> before;
    for (const char* f : {"/firmware.pkg", "/settings.dat", "/adapter.txt"})
        before.push_back(readFile(bk + f));

    SimOptions options;
    options.firmwareVersion = 0x0A030777;
    Adapter a(options);
    ASSERT_TRUE(a.connect());
    TestReport report;
    EXPECT_NE(a.save(bk, report, true), Outcome::Done) << report.out;
    size_t i = 0;
    for (const char* f : {"/firmware.pkg", "/settings.dat", "/adapter.txt"})
        EXPECT_EQ(readFile(bk + f), before[i++]) << f;
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(mnt))
        entries += entry.path().filename() != "bk";
    EXPECT_EQ(entries, 0u) << "a new or old folder left beside the backup";
}

namespace {

// Bytes of the range that block reads fetched, in multiples of the range.
double passesOver(const SimRecord& record, uint32_t from, uint32_t size)
{
    uint64_t bytes = 0;
    for (const std::string& c : record.commands) {
        unsigned addr = 0, n = 0;
        if (sscanf(c.c_str(), "R%8x,%8x#", &addr, &n) == 2 && addr >= from && addr < from + size)
            bytes += n;
    }
    return static_cast<double>(bytes) / size;
}

TEST(BackupRead, ReadsOnceWhereTheAdaptersChecksumVouchesAndTwiceWhereItCannot)
{
    const struct {
        SimChecksum checksum;
        SimLink link;
        double passes;
        const char* noted;  // the record's line
    } kinds[] = {
        {SimChecksum::Sum, SimLink::Usb, 1,
         "Adapter checksum: 32-bit byte sum, confirmed over the firmware region and the setting area\n"},
        {SimChecksum::Crc32, SimLink::Uart, 1,
         "Adapter checksum: CRC-32, confirmed over the firmware region and the setting area\n"},
        {SimChecksum::Mix, SimLink::Usb, 2,
         "Adapter checksum: none of the known formulas, each region read twice alike\n"},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.noted);
        SimOptions options = withLink(kind.link);
        options.checksum = kind.checksum;
        Adapter a(options, kind.link == SimLink::Usb);
        Bytes& flash = a.rig.adapter->flash();
        const Bytes firmware = patternBytes(device::romSize(a.chip()), 7);
        std::copy(firmware.begin(), firmware.end() - 16, flash.begin() + 0x1000);
        ASSERT_TRUE(a.connect());
        TempDir dir;
        TestReport report;
        ASSERT_EQ(a.save(dir.path("bk"), report), Outcome::Done) << report.out;
        const SimRecord& rec = a.rig.adapter->record;
        const uint32_t base = device::settingsBase(a.chip());
        EXPECT_EQ(passesOver(rec, 0x1000, base - 0x1000), kind.passes);
        EXPECT_EQ(passesOver(rec, base, device::SETTINGS_SIZE), kind.passes);
        EXPECT_EQ(slice(readFile(dir.path("bk/firmware.pkg")), 48, base - 0x1000),
                  slice(flash, 0x1000, base - 0x1000));
        EXPECT_EQ(readFile(dir.path("bk/settings.dat")), slice(flash, base, device::SETTINGS_SIZE));
        const std::string text = textOf(readFile(dir.path("bk/adapter.txt")));
        EXPECT_NE(text.find(kind.noted), std::string::npos) << text;
        backup::Record r;
        std::string missing;
        ASSERT_TRUE(backup::parseRecord(text, r, missing)) << missing;
        EXPECT_TRUE(r.checksumNoted);
        EXPECT_EQ(r.checksumFormulas != 0, kind.passes == 1);
        // A record saved before the line still reads, noting nothing; a line
        // naming no known formula is no record.
        const size_t at = text.find("Adapter checksum: ");
        const size_t end = text.find('\n', at) + 1;
        ASSERT_TRUE(backup::parseRecord(text.substr(0, at) + text.substr(end), r, missing));
        EXPECT_FALSE(r.checksumNoted);
        EXPECT_EQ(r.checksumFormulas, 0u);
        EXPECT_FALSE(backup::parseRecord(text.substr(0, at) +
                                             "Adapter checksum: CRC-33, confirmed over the firmware "
                                             "region and the setting area\n" + text.substr(end),
                                         r, missing));
        EXPECT_EQ(missing, "adapter checksum");
        // verify reads as the save did.
        a.rig.adapter->record.clear();
        report.out.clear();
        EXPECT_EQ(a.verify(dir.path("bk"), report), Outcome::Done) << report.out;
        EXPECT_EQ(passesOver(a.rig.adapter->record, 0x1000, base - 0x1000), kind.passes);
    }
}

// Once the firmware region confirmed a formula, a setting area read twice
// alike that its answer still does not match is no backup: here the answer
// is over bytes that the reads never see (changed just for the checksum).
TEST(BackupRead, AConfirmedFormulaThatStillMismatchesIsUnreliableAndNothingIsSaved)
{
    Adapter a;
    ASSERT_TRUE(a.connect());
    SimAdapter& sim = *a.rig.adapter;
    const uint32_t base = sim.settingsBase();
    char settingsSum[16];
    snprintf(settingsSum, sizeof(settingsSum), "Z%08X,", base);
    // A byte changed for the settings checksum alone, back for the next command.
    sim.onCommand = [&sim, base, settingsSum, changed = false](const std::string& command) mutable {
        const bool summing = command.compare(0, strlen(settingsSum), settingsSum) == 0;
        if (summing != changed)
            sim.flash()[base + 5] ^= 0x10;
        changed = summing;
    };
    TempDir dir;
    TestReport report;
    EXPECT_EQ(a.save(dir.path("bk"), report), Outcome::Failed);
    EXPECT_NE(report.out.find("settings: read twice alike, but not what the adapter's checksum 0x"),
              std::string::npos) << report.out;
    EXPECT_NE(report.out.find("(32-bit byte sum) says: the adapter does not read back reliably, "
                              "abort\n"),
              std::string::npos);
    EXPECT_EQ(passesOver(sim.record, base, device::SETTINGS_SIZE), 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path("bk")));
}

}  // namespace
