#include <ctime>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FileReplace.h"
#include "SambaXcon.h"
#include "Sha256.h"
#include "TarvoXcon.h"

namespace backup {

std::string utcTime(const char* strftimeFormat)
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    const bool known = gmtime_s(&utc, &now) == 0;
#else
    const bool known = gmtime_r(&now, &utc) != nullptr;
#endif
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

}  // namespace

Outcome save(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
             Report& report)
{
    // The target is checked, and the new folder made, before the adapter is
    // read: a save that cannot be written fails at once, not after the read.
    NewFolder folder;
    std::string error;
    if (!folder.open(dir, options.replace, error)) {
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
    std::string info;
    infoLines(samba, chipId, [&info](const std::string& text) { info += text; });
    report.text(info);

    Record record;
    record.chipId = chipId;
    record.flashSize = device::flashSize(chipId);
    record.serial = adapter.serial;
    record.serialWords[0] = adapter.serialWords[0];
    record.serialWords[1] = adapter.serialWords[1];
    record.board = adapter.board;
    record.type = adapter.type;

    Bytes firmware, settings;
    Read read = readChecked(samba, report, "firmware", device::FIRMWARE_BASE,
                            device::romSize(chipId), firmware, record.firmwareChecksum);
    if (read == Read::Ok)
        read = readChecked(samba, report, "settings", device::settingsBase(chipId),
                           device::SETTINGS_SIZE, settings, record.settingsChecksum);
    if (read == Read::Stopped) {
        report.text("Save interrupted, nothing written\n");
        return Outcome::Interrupted;
    }
    if (read != Read::Ok)
        return Outcome::Failed;
    if (!usableSettingImage(settings))
        report.text("settings: the area is not in the format the firmware uses; a restore "
                    "of this backup will refuse it\n");

    const Bytes pkg = firmwarePackage(firmware, adapter.type, adapter.board,
                                      record.firmwareChecksum);
    record.firmware = fileRecord(pkg);
    record.settings = fileRecord(settings);
    const std::string text = recordText(record, info, utcTime("%Y-%m-%d %H:%M:%S UTC"));
    if (!writeFile(report, pathIn(folder.path(), FIRMWARE_FILE), pkg) ||
        !writeFile(report, pathIn(folder.path(), SETTINGS_FILE), settings) ||
        !writeFile(report, pathIn(folder.path(), RECORD_FILE), Bytes(text.begin(), text.end())))
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
