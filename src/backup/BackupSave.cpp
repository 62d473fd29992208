#include <ctime>

#include "backup/Backup.h"
#include "backup/BackupSteps.h"
#include "Device.h"
#include "files/FileReplace.h"
#include "SambaXcon.h"
#include "backup/Sha256.h"
#include "TarvoXcon.h"
#include "Terminal.h"
#include "backup/AdapterCheck.h"

namespace backup {

std::string utcTime(const char* strftimeFormat)
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    const bool known = ::utcTime(now, utc);
    char text[64] = "unknown";
    if (known)
        strftime(text, sizeof(text), strftimeFormat, &utc);
    return text;
}

namespace {

bool writeFile(Report& report, const std::string& path, const Bytes& data)
{
    std::string error;
    if (writeFileAtomically(path, data.data(), data.size(), error))
        return true;
    report.text(format("Failed to write %s: %s, abort\n", path.c_str(), error.c_str()));
    return false;
}

Record::File fileRecord(const Bytes& bytes)
{
    return {bytes.size(), Sha256::hex(bytes.data(), bytes.size())};
}

uint32_t wordAt(const Bytes& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

bool sameRecord(const Record& a, const Record& b)
{
    return a.chipId == b.chipId && a.flashSize == b.flashSize && a.serial == b.serial &&
           a.serialWords[0] == b.serialWords[0] && a.serialWords[1] == b.serialWords[1] &&
           a.board == b.board && a.type == b.type && a.firmwareChecksum == b.firmwareChecksum &&
           a.settingsChecksum == b.settingsChecksum && a.firmware.size == b.firmware.size &&
           a.firmware.sha256 == b.firmware.sha256 && a.settings.size == b.settings.size &&
           a.settings.sha256 == b.settings.sha256 && a.version == b.version &&
           a.monitorChanges == b.monitorChanges && a.checksumNoted == b.checksumNoted &&
           a.checksumFormulas == b.checksumFormulas;
}

// The files as written, read back: the record parsed, each file the size and
// SHA-256 it records, and all of it what the save meant to write.
bool readsBack(const std::string& dir, const Record& meant, const Bytes& pkg,
               const Bytes& settings, Report& report)
{
    BackupFiles files;
    if (!loadBackup(dir, files, report))
        return false;
    if (sameRecord(files.record, meant) && files.package == pkg && files.settings == settings)
        return true;
    report.text(format("The backup read back from %s is not what was written, abort\n",
                       dir.c_str()));
    return false;
}

}  // namespace

Outcome save(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
             Report& report)
{
    // The target is checked, and the new folder made, before the adapter is
    // read: a save that cannot be written fails at once, not after the read.
    NewFolder folder;
    std::string error, notes;
    const bool opened = folder.open(dir, options.replace, error, notes);
    report.text(notes);
    if (!opened) {
        report.text(error + ", abort\n");
        return Outcome::Refused;
    }

    report.text("\n");
    timer_start();
    const AdapterNow adapter = readAdapter(samba, chipId);
    // FirmwareCheck, and so tarvo -f, takes no package of another letter.
    if (!device::isKnownType(adapter.type)) {
        report.text(format("Adapter type 0x%02X is not a known one, no package can hold its "
                           "firmware, abort\n",
                           adapter.type));
        return Outcome::Refused;
    }
    std::string version;
    const std::string info = adapterReport(samba, chipId, version);
    report.text(info);

    Record record;
    record.chipId = chipId;
    record.flashSize = device::flashSize(chipId);
    record.serial = adapter.serial;
    record.serialWords[0] = adapter.serialWords[0];
    record.serialWords[1] = adapter.serialWords[1];
    record.board = adapter.board;
    record.type = adapter.type;
    record.version = version;

    Bytes firmware, settings;
    ReadSession session;
    const Read read = readRegions(samba, session, report, chipId, firmware,
                                  record.firmwareChecksum, settings, record.settingsChecksum);
    if (read == Read::Stopped) {
        report.text("Save interrupted, nothing written\n");
        return Outcome::Interrupted;
    }
    if (read != Read::Ok)
        return Outcome::Failed;
    record.checksumNoted = true;
    record.checksumFormulas = session.vouched ? session.known : 0;
    if (!usableSettingImage(settings))
        report.text(settingFormatWarning());
    // What the check finds, on the region already read: one checksum command more.
    if (!options.makerPackage.empty()) {
        const PackageComparison compared =
            compareWithPackage(samba, chipId, firmware, options.makerPackage, options.anyType);
        report.text(compared.text);
        record.monitorChanges = compared.finding == Finding::Changes;
        if (record.monitorChanges)
            report.text("The backup notes it: its restore will put the settings back and "
                        "refuse the firmware\n");
    }

    const Bytes pkg = firmwarePackage(firmware, adapter.type, adapter.board,
                                      record.firmwareChecksum);
    record.firmware = fileRecord(pkg);
    record.settings = fileRecord(settings);
    const size_t versionAt = firmware.size() - 16;
    const std::string text =
        recordText(record,
                   recordReport(version, adapter, wordAt(firmware, versionAt),
                                wordAt(firmware, versionAt + 4)),
                   utcTime("%Y-%m-%d %H:%M:%S UTC"));
    if (!writeFile(report, pathIn(folder.path(), FIRMWARE_FILE), pkg) ||
        !writeFile(report, pathIn(folder.path(), SETTINGS_FILE), settings) ||
        !writeFile(report, pathIn(folder.path(), RECORD_FILE), Bytes(text.begin(), text.end())) ||
        !readsBack(folder.path(), record, pkg, settings, report))
        return Outcome::Failed;
    if (report.stopRequested()) {
        report.text("Save interrupted, nothing written\n");
        return Outcome::Interrupted;
    }
    if (!folder.commit(error)) {
        report.text(format("Failed to put the backup in place: %s, abort\n", error.c_str()));
        return Outcome::Failed;
    }
    if (!error.empty())
        report.text("Note: " + error + "\n");
    report.text(format("Backup saved in %s\n", dir.c_str()));
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return Outcome::Done;
}

}  // namespace backup
