// The read-only check against monitors that store what they are sent and
// one that decodes it (its maker's package carries the image XORed), and a
// backup of the latter: its note, and a restore that erases no firmware.
#include <gtest/gtest.h>

#include "backup/Backup.h"
#include "Checksum.h"
#include "FirmwareInstall.h"
#include "PackageBuilder.h"
#include "SimRig.h"
#include "backup/AdapterCheck.h"

namespace {

using backup::Finding;

struct QuietReport : backup::Report {
    void text(const std::string& lines) override { out += lines; }
    void stepStarted(const std::string&, uint64_t) override {}
    void stepProgress(uint64_t, uint64_t) override {}
    void stepFinished() override {}
    std::string out;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The whole firmware region, its version words (Firmware Version 0x0105) at
// the end; plainCksum is what the adapter holds after the update.
Bytes makerPackage(SimChecksum kind, uint8_t key, uint16_t swVer)
{
    Bytes plain = patternBytes(device::romSize(device::CHIP_256K), 7);
    const uint8_t words[8] = {0x05, 0x01, 0x03, 0x0A, 0x02, 0x45, 0x00, 0x00};
    std::copy(words, words + 8, plain.end() - 16);
    PackageFields fields;
    fields.type = 'E';
    fields.swVer = swVer;
    fields.hwVer.fill(0x0203);
    fields.plainCksum = simChecksum(kind, plain.data(), plain.size());
    for (uint8_t b : plain)
        fields.payload.push_back(b ^ key);
    return buildPackage(fields);
}

// An adapter given the maker's package as tarvo -f gives it, then connected
// again (a decoding monitor decodes only after x#).
struct Installed {
    Installed(SimChecksum kind, uint8_t key) : rig([kind] { SimOptions o; o.checksum = kind; return o; }())
    {
        rig.adapter->faults.xorAfterInitD = key;
        writeFile(dir.path("maker.fw"), makerPackage(kind, key, 0x0105));
        TakenPackage taken;
        EXPECT_TRUE(rig.connect());
        EXPECT_EQ(takePackage(rig.samba, chip(), dir.path("maker.fw").c_str(), false, taken), PackageTake::Taken);
        InstallOptions install;
        install.restart = false;
        EXPECT_EQ(installPackage(rig.samba, taken, install), Install::Verified);
        EXPECT_TRUE(rig.connect());
        rig.adapter->record.clear();
    }
    uint32_t chip() const { return rig.adapter->options().chipId; }
    TempDir dir;
    SimRig rig;
};

TEST(AdapterCheck, NamesTheFormulaAndGivesEachAnswerWithoutWriting)
{
    const char* const NONE = "none of the candidates (firmware region: none of the candidates; "
                             "setting area: none of the candidates)";
    const struct {
        SimChecksum kind;
        uint8_t key;
        const char* package;  // maker's, another version's, or none
        Finding finding;
        int status;
        const char* formula;
        const char* says;
    } cases[] = {
        {SimChecksum::Sum, 0, "maker", Finding::Restores, 0, "32-bit byte sum", "exactly as sent"},
        {SimChecksum::Crc32, 0, "maker", Finding::Restores, 0, "CRC-32", "exactly as sent"},
        {SimChecksum::Sum, 0x5A, "maker", Finding::Changes, 1, "32-bit byte sum", "changes what"},
        {SimChecksum::Crc32, 0x5A, "maker", Finding::Changes, 1, "CRC-32", "changes what"},
        {SimChecksum::Sum, 0, "other", Finding::OtherPackage, 3, "32-bit byte sum", "Version is 0x0105"},
        {SimChecksum::Crc32, 0x5A, "other", Finding::OtherPackage, 3, "CRC-32", "package's is 0x0106"},
        {SimChecksum::Sum, 0x5A, "", Finding::Unknown, 3, "32-bit byte sum", "no package given"},
        {SimChecksum::Crc32, 0, "", Finding::Unknown, 3, "CRC-32", "no package given"},
        // A checksum none of the candidates gives: the answer still comes
        // from the bytes, the package's checksum from the adapter.
        {SimChecksum::Mix, 0, "maker", Finding::Restores, 0, NONE, "exactly as sent"},
        {SimChecksum::Mix, 0x5A, "maker", Finding::Changes, 1, NONE, "changes what"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.formula) + " key " + std::to_string(c.key) + " " + c.package);
        Installed adapter(c.kind, c.key);
        std::string file = *c.package ? adapter.dir.path(std::string(c.package) + ".fw") : "";
        if (std::string(c.package) == "other")
            writeFile(file, makerPackage(c.kind, c.key, 0x0106));
        const Bytes before = adapter.rig.adapter->flash();
        QuietReport report;
        const auto result = backup::checkAdapter(adapter.rig.samba, adapter.chip(), file, false, report);
        EXPECT_EQ(result.finding, c.finding);
        EXPECT_EQ(backup::checkExitStatus(result.finding), c.status);
        EXPECT_TRUE(has(report.out, std::string("Checksum formula: ") + c.formula + "\n")) << report.out;
        EXPECT_TRUE(has(result.answer, c.says)) << result.answer;
        // Nothing erased, written or prepared, and no command that could.
        const SimRecord& r = adapter.rig.adapter->record;
        EXPECT_TRUE(r.erasedRows.empty() && r.writtenPages.empty());
        for (const std::string& command : r.commands)
            EXPECT_FALSE(has("WOSXYxkG", command.substr(0, 1))) << command;
        EXPECT_TRUE(adapter.rig.adapter->flash() == before);
        // The shared report: the answer verbatim, the serial number only when asked.
        EXPECT_TRUE(has(backup::checkReportText(result, false), "Answer: " + result.answer));
        EXPECT_FALSE(has(backup::checkReportText(result, false), "AB123456"));
        EXPECT_TRUE(has(backup::checkReportText(result, true), "Serial number: AB123456\n"));
    }
}

TEST(AdapterCheck, ABackupOfAChangingMonitorRestoresItsSettingsAndNoFirmware)
{
    for (uint8_t key : {uint8_t{0}, uint8_t{0x5A}}) {
        SCOPED_TRACE(key);
        Installed adapter(SimChecksum::Crc32, key);
        SimAdapter& sim = *adapter.rig.adapter;
        backup::Options options;
        options.makerPackage = adapter.dir.path("maker.fw");
        QuietReport saved, restored;
        ASSERT_EQ(backup::save(adapter.rig.samba, adapter.chip(), adapter.dir.path("b"), options, saved),
                  backup::Outcome::Done) << saved.out;
        const Bytes record = readFile(adapter.dir.path("b/adapter.txt"));
        EXPECT_EQ(has(std::string(record.begin(), record.end()), "Firmware restore: refused"), key != 0);
        EXPECT_EQ(has(saved.out, "The backup notes it"), key != 0);

        // The settings changed since the save come back either way.
        sim.pokeWord(sim.settingsBase() + 64, 0x12345678);
        const Bytes firmware(sim.flash().begin(), sim.flash().begin() + sim.settingsBase());
        sim.record.clear();
        bool restarted = false;
        const auto outcome = backup::restore(adapter.rig.samba, adapter.chip(), adapter.dir.path("b"),
                                             backup::Options(), restored, restarted);
        EXPECT_NE(sim.peekWord(sim.settingsBase() + 64), 0x12345678u);
        EXPECT_EQ(outcome, key == 0 ? backup::Outcome::Done : backup::Outcome::Refused) << restored.out;
        if (key == 0)
            continue;
        EXPECT_TRUE(has(restored.out, "firmware: refused")) << restored.out;
        for (uint32_t at : sim.record.erasedRows)
            EXPECT_GE(at, sim.settingsBase());
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), sim.flash().begin()));
    }
}

}  // namespace
