#include "backup/AdapterCheck.h"

#include <algorithm>

#include "backup/BackupSteps.h"
#include "Device.h"
#include "FirmwareInstall.h"
#include "FirmwarePackage.h"
#include "SambaXcon.h"
#include "TextEscape.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

uint32_t wordAt(const Bytes& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string formulaNames(checksum::FormulaSet set)
{
    return set == 0 ? "none of the candidates" : checksum::names(set);
}

// The formulas the adapter's answer over these bytes matches.
checksum::FormulaSet formulasOf(const Bytes& bytes, uint32_t answer)
{
    checksum::Candidates candidates;
    candidates.add(bytes.data(), bytes.size());
    return candidates.matching(answer);
}

std::string formulaLine(const CheckResult& r)
{
    const checksum::FormulaSet both = r.firmwareFormulas & r.settingsFormulas;
    if (both != 0)
        return "Checksum formula: " + formulaNames(both) + "\n";
    return "Checksum formula: none of the candidates (firmware region: " +
           formulaNames(r.firmwareFormulas) + "; setting area: " +
           formulaNames(r.settingsFormulas) + ")\n";
}

}  // namespace

PackageComparison compareWithPackage(Samba& samba, uint32_t chipId, const Bytes& region,
                                     const std::string& packageFile, bool anyType)
{
    PackageComparison out;
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, packageFile.c_str(), anyType, taken);
    if (take == PackageTake::NoneFits) {
        out.finding = Finding::OtherPackage;
        out.text = "firmware: " + escapeControls(packageFile) +
                   " holds no package for this adapter's board version and type, so it is "
                   "not the firmware the adapter runs\n";
        return out;
    }
    if (take != PackageTake::Taken) {
        out.text = packageTakeText(take, packageFile.c_str());
        return out;
    }
    const uint32_t offset = taken.loadAddr - device::FIRMWARE_BASE;
    const uint32_t adapterVersion = wordAt(region, region.size() - 16) & 0xFFFF;
    const uint32_t packageVersion = taken.bytes[package::SW_VER_OFFSET] |
                                    taken.bytes[package::SW_VER_OFFSET + 1] << 8;
    const std::string howToTell =
        format("(the adapter's Firmware Version is 0x%04X, as tarvo -i shows it; the "
               "package's is 0x%04X: give the maker's package of 0x%04X)\n",
               adapterVersion, packageVersion, adapterVersion);
    if (adapterVersion != packageVersion || taken.loadAddr < device::FIRMWARE_BASE ||
        uint64_t{offset} + taken.total > region.size()) {
        out.finding = Finding::OtherPackage;
        out.text = "firmware: the package is not the firmware the adapter runs " + howToTell;
        return out;
    }
    const uint8_t* payload = taken.bytes.data() + package::HEADER_SIZE;
    if (std::equal(payload, payload + taken.total, region.begin() + offset)) {
        out.finding = Finding::Restores;
        out.text = "firmware: the monitor stores firmware exactly as sent; backups of this "
                   "adapter restore\n";
        return out;
    }
    // The same version and other bytes: either the monitor changed what it
    // was sent, or this is another build of that version. The package's
    // plain checksum is of what the adapter holds after an update, so it
    // tells the two apart.
    uint32_t size = taken.total;
    if (taken.handling == package::HANDLING_WITH_IMAGE)
        size += package::SETTING_IMAGE_SIZE;
    if (samba.checksumBuffer(taken.loadAddr, size) != taken.plainCksum) {
        out.finding = Finding::OtherPackage;
        out.text = "firmware: the package is not the firmware the adapter runs: its version "
                   "is the adapter's, but neither its bytes nor its checksum are what the "
                   "adapter holds " + howToTell;
        return out;
    }
    out.finding = Finding::Changes;
    out.text = "firmware: the monitor changes what it is sent (the adapter holds this "
               "package's firmware, by its checksum, but not its bytes); a backup of this "
               "adapter can put the settings back but cannot put the firmware back: keep the "
               "maker's package\n";
    return out;
}

CheckResult checkAdapter(Samba& samba, uint32_t chipId, const std::string& packageFile,
                         bool anyType, Report& report)
{
    CheckResult r;
    r.chipId = chipId;
    report.text("\n");
    const AdapterNow adapter = readAdapter(samba, chipId);
    r.board = adapter.board;
    r.type = adapter.type;
    r.serial = adapter.serial;
    const std::string info = adapterReport(samba, chipId, r.version);

    Bytes region, area;
    ReadSession session;
    const Read read = readRegions(samba, session, report, chipId, region, r.firmwareAnswer, area,
                                  r.settingsAnswer);
    if (read != Read::Ok) {
        r.answer = read == Read::Stopped ? "check interrupted; nothing was written\n"
                                         : "the adapter could not be read reliably\n";
        report.text(r.answer);
        return r;
    }
    r.firmwareWord = wordAt(region, region.size() - 16);
    // The information report as a record holds it: adapter-sent text escaped.
    report.text(recordReport(r.version, adapter, r.firmwareWord,
                             wordAt(region, region.size() - 12)));
    r.firmwareFormulas = formulasOf(region, r.firmwareAnswer);
    r.settingsFormulas = formulasOf(area, r.settingsAnswer);
    report.text(formulaLine(r));

    if (packageFile.empty()) {
        r.answer = format("firmware: not compared, no package given; whether the monitor "
                          "stores firmware exactly as sent is not known: run again with the "
                          "maker's package of Firmware Version 0x%04X\n",
                          r.firmwareWord & 0xFFFF);
    } else {
        const PackageComparison compared =
            compareWithPackage(samba, chipId, region, packageFile, anyType);
        r.finding = compared.finding;
        r.answer = compared.text;
    }
    report.text(r.answer);
    return r;
}

int checkExitStatus(Finding finding)
{
    switch (finding) {
    case Finding::Restores: return 0;
    case Finding::Changes: return 1;
    default: return 3;
    }
}

std::string checkReportText(const CheckResult& r, bool withSerial)
{
    std::string text = "tarvo-backup check\n";
    text += format("Chip: 0x%08X (%u KB of flash)\n", r.chipId, device::flashSize(r.chipId) / 1024);
    text += format("Board version: 0x%04X\n", r.board);
    text += "Adapter type: " + format("0x%02X (", r.type) +
            escapeBytes(std::string(1, static_cast<char>(r.type))) + ")\n";
    text += "Monitor version: " + escapeBytes(r.version) + "\n";
    if (withSerial)
        text += "Serial number: " + escapeBytes(r.serial) + "\n";
    text += format("Firmware Version: 0x%04X\n", r.firmwareWord & 0xFFFF);
    text += formulaLine(r);
    text += format("Adapter checksums: 0x%08X (firmware region), 0x%08X (setting area)\n",
                   r.firmwareAnswer, r.settingsAnswer);
    text += "Answer: " + r.answer;
    text += "By: tarvo-backup " TARVO_VERSION "\n";
    return text;
}

}  // namespace backup
