#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FileReplace.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

struct Identity {
    uint16_t board;
    uint8_t type;
    std::string serial;
};

Identity readIdentity(Samba& samba)
{
    uint32_t word = samba.readWord(device::IDENTITY_ADDR);
    uint32_t lo = samba.readWord(device::SERIAL_ADDR_LO);
    uint32_t hi = samba.readWord(device::SERIAL_ADDR_HI);
    return {static_cast<uint16_t>(word & 0xFFFF), static_cast<uint8_t>((word >> 16) & 0xFF),
            serialText(lo, hi)};
}

std::string utcNow()
{
    std::time_t now = std::time(nullptr);
    char text[32] = "unknown";
    if (const std::tm* utc = std::gmtime(&now))
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", utc);
    return text;
}

bool writeFile(Report& report, const std::string& path, const Bytes& data)
{
    std::string error;
    if (writeFileAtomically(path, data.data(), data.size(), error))
        return true;
    report.text(format("Failed to write %s: %s, abort\n", path.c_str(), error.c_str()));
    return false;
}

}  // namespace

Outcome save(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
             Report& report)
{
    const std::string files[] = {pathIn(dir, FIRMWARE_FILE), pathIn(dir, SETTINGS_FILE),
                                 pathIn(dir, RECORD_FILE)};
    std::error_code ec;
    for (const std::string& file : files) {
        if (!options.replace && std::filesystem::exists(file, ec)) {
            report.text(format("%s already holds a backup (%s); --force replaces it, abort\n",
                               dir.c_str(), file.c_str()));
            return Outcome::Refused;
        }
    }

    report.text("\n");
    timer_start();
    Identity identity = readIdentity(samba);
    // FirmwareCheck, and so tarvo -f, takes no package of another letter.
    if (!device::isKnownType(identity.type)) {
        report.text(format("Adapter type 0x%02X is not a known one, no package can hold its "
                           "firmware, abort\n",
                           identity.type));
        return Outcome::Refused;
    }
    std::string record;
    infoLines(samba, chipId, [&record](const std::string& text) { record += text; });
    report.text(record);

    const uint32_t settingsBase = device::settingsBase(chipId);
    const uint32_t romSize = device::romSize(chipId);
    Bytes firmware, settings;
    uint32_t firmwareSum = 0, settingsSum = 0;
    if (!readChecked(samba, report, "firmware", device::FIRMWARE_BASE, romSize, firmware,
                     firmwareSum) ||
        !readChecked(samba, report, "settings", settingsBase, device::SETTINGS_SIZE, settings,
                     settingsSum))
        return Outcome::Failed;

    record += format("Firmware checksum: 0x%08X (0x%05X, %u bytes)\n"
                     "Settings checksum: 0x%08X (0x%05X, %u bytes)\n",
                     firmwareSum, device::FIRMWARE_BASE, romSize, settingsSum, settingsBase,
                     device::SETTINGS_SIZE);
    record += "Saved: " + utcNow() + "\nBy: tarvo-backup " TARVO_VERSION "\n";

    std::filesystem::create_directories(dir, ec);
    if (ec) {
        report.text(format("Failed to create directory %s: %s, abort\n", dir.c_str(),
                           ec.message().c_str()));
        return Outcome::Failed;
    }
    // The record goes last: a backup without it is one that did not finish.
    if (!writeFile(report, files[0],
                   firmwarePackage(firmware, identity.type, identity.board, firmwareSum)) ||
        !writeFile(report, files[1], settings) ||
        !writeFile(report, files[2], Bytes(record.begin(), record.end())))
        return Outcome::Failed;
    report.text(format("Backup saved in %s\n", dir.c_str()));
    report.text(format("done in %5.3f seconds\n", timer_stop()));
    return Outcome::Done;
}

}  // namespace backup
