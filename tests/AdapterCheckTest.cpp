// The read-only adapter check against simulated monitors that store what
// they are sent and one that changes it (a decoding monitor: the maker's
// package carries the image encoded), and a backup of such a monitor: its
// note, and a restore that puts the settings back without erasing firmware.
#include <gtest/gtest.h>

#include "Backup.h"
#include "Checksum.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "PackageBuilder.h"
#include "SimRig.h"
#include "backup/AdapterCheck.h"

namespace {

using backup::Finding;

class QuietReport : public backup::Report {
public:
    void text(const std::string& lines) override { out += lines; }
    void stepStarted(const std::string&, uint64_t) override {}
    void stepProgress(uint64_t, uint64_t) override {}
    void stepFinished() override {}
    std::string out;
};

constexpr uint8_t KEY = 0x5A;

// The firmware as the adapter runs it: the whole region, its version words
// at the end (Firmware Version 0x0105).
Bytes plainFirmware()
{
    Bytes plain = patternBytes(device::romSize(device::CHIP_256K), 7);
    const uint8_t words[8] = {0x05, 0x01, 0x03, 0x0A, 0x02, 0x45, 0x00, 0x00};
    std::copy(words, words + 8, plain.end() - 16);
    return plain;
}

// The maker's package: encoded for a decoding monitor, its plain checksum
// that of what the adapter holds after the update, as the install verifies.
Bytes makerPackage(SimChecksum kind, uint8_t key, uint16_t swVer)
{
    const Bytes plain = plainFirmware();
    PackageFields fields;
    fields.type = 'E';
    fields.swVer = swVer;
    fields.hwVer.fill(0x0203);
    fields.payload = plain;
    for (uint8_t& b : fields.payload)
        b ^= key;
    fields.plainCksum = simChecksum(kind, plain.data(), plain.size());
    return buildPackage(fields);
}

// An adapter that was given the maker's package as tarvo -f gives it, then
// forgets what the host made it do.
struct Installed {
    Installed(SimChecksum kind, uint8_t key) : rig(options(kind))
    {
        rig.adapter->faults.xorAfterInitD = key;
        EXPECT_TRUE(rig.connect());
        writeFile(dir.path("maker.fw"), makerPackage(kind, key, 0x0105));
        TakenPackage taken;
        EXPECT_EQ(takePackage(rig.samba, chip(), dir.path("maker.fw").c_str(), false, taken),
                  PackageTake::Taken);
        InstallOptions install;
        install.restart = false;
        EXPECT_EQ(installPackage(rig.samba, taken, install), Install::Verified);
        // The owner's later session: the monitor no longer decodes.
        EXPECT_TRUE(rig.connect());
        rig.adapter->record.clear();
    }
    static SimOptions options(SimChecksum kind)
    {
        SimOptions o;
        o.checksum = kind;
        return o;
    }
    uint32_t chip() const { return rig.adapter->options().chipId; }
    // Nothing erased, written or prepared, and no command that could.
    void expectUntouched(const Bytes& flashBefore) const
    {
        const SimRecord& r = rig.adapter->record;
        EXPECT_TRUE(r.erasedRows.empty());
        EXPECT_TRUE(r.writtenPages.empty());
        for (const std::string& c : r.commands)
            EXPECT_EQ(std::string("WOSXYxkG").find(c[0]), std::string::npos) << c;
        EXPECT_TRUE(rig.adapter->flash() == flashBefore);
    }
    TempDir dir;
    SimRig rig;
};

TEST(AdapterCheck, NamesTheFormulaAndGivesEachAnswerWithoutWriting)
{
    const struct {
        SimChecksum kind;
        uint8_t key;
        const char* package;  // "": none; "maker", or "other" (another version)
        Finding finding;
        int status;
        const char* formula;
        const char* says;
    } cases[] = {
        {SimChecksum::Sum, 0, "maker", Finding::Restores, 0, "32-bit byte sum", "exactly as sent"},
        {SimChecksum::Crc32, 0, "maker", Finding::Restores, 0, "CRC-32", "exactly as sent"},
        {SimChecksum::Sum, KEY, "maker", Finding::Changes, 1, "32-bit byte sum", "changes what"},
        {SimChecksum::Crc32, KEY, "maker", Finding::Changes, 1, "CRC-32", "changes what"},
        {SimChecksum::Sum, 0, "other", Finding::OtherPackage, 3, "32-bit byte sum",
         "Firmware Version is 0x0105"},
        {SimChecksum::Crc32, KEY, "other", Finding::OtherPackage, 3, "CRC-32",
         "package's is 0x0106"},
        {SimChecksum::Sum, KEY, "", Finding::Unknown, 3, "32-bit byte sum", "no package given"},
        {SimChecksum::Crc32, 0, "", Finding::Unknown, 3, "CRC-32", "no package given"},
        // A monitor whose checksum is none of the candidates comes with the
        // simulator's third checksum kind.
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.formula) + " key " + std::to_string(c.key) + " " + c.package);
        Installed adapter(c.kind, c.key);
        std::string file;
        if (std::string(c.package) == "maker")
            file = adapter.dir.path("maker.fw");
        if (std::string(c.package) == "other") {
            file = adapter.dir.path("other.fw");
            writeFile(file, makerPackage(c.kind, c.key, 0x0106));
        }
        const Bytes before = adapter.rig.adapter->flash();
        QuietReport report;
        const backup::CheckResult result =
            backup::checkAdapter(adapter.rig.samba, adapter.chip(), file, false, report);
        EXPECT_EQ(result.finding, c.finding);
        EXPECT_EQ(backup::checkExitStatus(result.finding), c.status);
        EXPECT_NE(report.out.find(std::string("Checksum formula: ") + c.formula + "\n"),
                  std::string::npos)
            << report.out;
        EXPECT_NE(result.answer.find(c.says), std::string::npos) << result.answer;
        adapter.expectUntouched(before);

        // The report holds the answer verbatim, and the serial number only when asked.
        const std::string shared = backup::checkReportText(result, false);
        EXPECT_NE(shared.find("Answer: " + result.answer), std::string::npos);
        EXPECT_EQ(shared.find("AB123456"), std::string::npos);
        EXPECT_NE(backup::checkReportText(result, true).find("Serial number: AB123456\n"),
                  std::string::npos);
    }
}

TEST(AdapterCheck, ABackupOfAChangingMonitorRestoresItsSettingsAndNoFirmware)
{
    for (uint8_t key : {uint8_t{0}, KEY}) {
        SCOPED_TRACE(key);
        Installed adapter(SimChecksum::Crc32, key);
        backup::Options options;
        options.makerPackage = adapter.dir.path("maker.fw");
        QuietReport saved;
        ASSERT_EQ(backup::save(adapter.rig.samba, adapter.chip(), adapter.dir.path("b"), options,
                               saved),
                  backup::Outcome::Done)
            << saved.out;
        const Bytes text = readFile(adapter.dir.path("b/adapter.txt"));
        const bool noted = std::string(text.begin(), text.end()).find("Firmware restore: refused") !=
                           std::string::npos;
        EXPECT_EQ(noted, key != 0);
        EXPECT_EQ(saved.out.find("The backup notes it") != std::string::npos, key != 0);

        // The settings change after the save; the restore puts them back.
        const uint32_t base = adapter.rig.adapter->settingsBase();
        adapter.rig.adapter->pokeWord(base + 64, 0x12345678);
        const Bytes firmwareBefore(adapter.rig.adapter->flash().begin(),
                                   adapter.rig.adapter->flash().begin() + base);
        adapter.rig.adapter->record.clear();
        QuietReport restored;
        bool restarted = false;
        const backup::Outcome outcome =
            backup::restore(adapter.rig.samba, adapter.chip(), adapter.dir.path("b"),
                            backup::Options(), restored, restarted);
        EXPECT_NE(adapter.rig.adapter->peekWord(base + 64), 0x12345678u);
        if (key == 0) {
            EXPECT_EQ(outcome, backup::Outcome::Done) << restored.out;
            continue;
        }
        EXPECT_EQ(outcome, backup::Outcome::Refused);
        EXPECT_NE(restored.out.find("firmware: refused"), std::string::npos) << restored.out;
        for (uint32_t row : adapter.rig.adapter->record.erasedRows)
            EXPECT_GE(row, base);
        for (uint32_t page : adapter.rig.adapter->record.writtenPages)
            EXPECT_GE(page, base);
        EXPECT_TRUE(std::equal(firmwareBefore.begin(), firmwareBefore.end(),
                               adapter.rig.adapter->flash().begin()));
    }
}

}  // namespace
