// The checks a backup folder and the adapter pass before anything is written.
#include <cinttypes>
#include <cstring>

#include "backup/BackupSteps.h"
#include "Device.h"
#include "files/FileRead.h"
#include "SambaXcon.h"
#include "backup/Sha256.h"
#include "TarvoXcon.h"
#include "eeprom.h"

namespace backup {

namespace {

bool fileMatches(const std::string& path, const Record::File& recorded, Bytes& bytes,
                 Report& report)
{
    std::string error;
    if (!readFileBytes(path, bytes, error)) {
        report.text(format("%s: the backup is not whole, abort\n", error.c_str()));
        return false;
    }
    if (bytes.size() != recorded.size) {
        report.text(format("%s has %zu bytes where the backup recorded %" PRIu64
                           ": changed or cut short since the save, abort\n",
                           path.c_str(), bytes.size(), recorded.size));
        return false;
    }
    if (Sha256::hex(bytes.data(), bytes.size()) != recorded.sha256) {
        report.text(format("%s has changed since the save (its SHA-256 is not the one "
                           "recorded), abort\n",
                           path.c_str()));
        return false;
    }
    return true;
}

}  // namespace

AdapterNow readAdapter(Samba& samba, uint32_t chipId)
{
    AdapterNow now;
    static_cast<AdapterIdentity&>(now) = readIdentity(samba);
    now.chipId = chipId;
    return now;
}

std::string adapterDifference(const Record& record, const AdapterNow& now)
{
    std::string differs;
    auto add = [&differs](const std::string& what) {
        differs += (differs.empty() ? "" : "; ") + what;
    };
    if (record.chipId != now.chipId)
        add(format("the backup is of chip 0x%08X (%u KB), this one is 0x%08X (%u KB)",
                   record.chipId, record.flashSize / 1024, now.chipId,
                   device::flashSize(now.chipId) / 1024));
    if (record.serialWords[0] != now.serialWords[0] || record.serialWords[1] != now.serialWords[1])
        add(format("the backup is of SN %s, this one is SN %s", record.serial.c_str(),
                   now.serial.c_str()));
    if (record.board != now.board)
        add(format("the backup is of PCB Ver 0x%04X, this one is 0x%04X", record.board,
                   now.board));
    if (record.type != now.type)
        add(format("the backup is of type 0x%02X, this one is 0x%02X", record.type, now.type));
    return differs;
}

bool sameChipAndType(const Record& record, const AdapterNow& now)
{
    return record.chipId == now.chipId && record.type == now.type;
}

bool loadBackup(const std::string& dir, BackupFiles& files, Report& report)
{
    const std::string recordPath = pathIn(dir, RECORD_FILE);
    Bytes text;
    std::string error;
    if (!readFileBytes(recordPath, text, error)) {
        report.text(format("%s holds no complete backup (%s), abort\n", dir.c_str(),
                           error.c_str()));
        return false;
    }
    std::string missing;
    if (!parseRecord(std::string(text.begin(), text.end()), files.record, missing)) {
        report.text(format("%s holds no complete backup (%s records no %s), abort\n",
                           dir.c_str(), recordPath.c_str(), missing.c_str()));
        return false;
    }
    return fileMatches(pathIn(dir, FIRMWARE_FILE), files.record.firmware, files.package, report) &&
           fileMatches(pathIn(dir, SETTINGS_FILE), files.record.settings, files.settings, report);
}

bool usableSettingImage(const Bytes& image)
{
    if (image.size() != device::SETTINGS_SIZE)
        return false;
    bool erased = true;
    for (uint8_t byte : image)
        erased = erased && byte == 0xFF;
    if (erased)
        return true;
    // Opened in the emulator's image, as tarvo-settings opens a file; the
    // buffer is all 0xFF again afterwards, as the run began with it.
    memset(g_eeprom, 0xFF, sizeof(g_eeprom));
    memcpy(g_eeprom, image.data(), image.size());
    const status_code status = eeprom_emulator_init();
    memset(g_eeprom, 0xFF, sizeof(g_eeprom));
    return status == STATUS_OK;
}

std::string settingFormatWarning()
{
    return "settings: the area is not in the emulated-EEPROM format the firmware uses; it is "
           "kept and put back byte for byte as it is\n";
}

}  // namespace backup
