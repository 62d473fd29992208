#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "Backup.h"
#include "Device.h"
#include "FileRead.h"
#include "FileReplace.h"
#include "FirmwareCheck.h"
#include "SambaXcon.h"
#include "StdFile.h"
#include "TarvoXcon.h"

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

bool writeFile(const std::string& path, const Bytes& data)
{
    std::string error;
    if (writeFileAtomically(path, data.data(), data.size(), error))
        return true;
    printf("Failed to write %s: %s, abort\n", path.c_str(), error.c_str());
    return false;
}

// The package of file that tarvo -f would take for this adapter: the same
// type gate and walk. False (reported) when it would take none.
bool takePackage(Samba& samba, uint32_t chipId, const std::string& file, bool force)
{
    const PackageTarget target = packageTarget(samba, chipId);
    if (!force && !device::isKnownType(target.ringType)) {
        printf("Not Corvane adapters, unable to update, abort\n");
        return false;
    }
    StdFile f(fopen(file.c_str(), "rb"));
    if (!f) {
        printf("Failed in opening firmware file %s, abort\n", file.c_str());
        return false;
    }
    uint64_t fwStart = 0;
    if (!findFittingPackage(f.get(), target, fwStart)) {
        printf("No valid firmware found in %s, abort\n", file.c_str());
        return false;
    }
    return true;
}

// The firmware line of verify, for the package in the record.
bool verifyFirmware(Samba& samba)
{
    // A package with a setting image streams and verifies the image too.
    uint32_t size = g_fw_total_size;
    if (g_eeprom_handle == package::HANDLING_WITH_IMAGE)
        size += package::SETTING_IMAGE_SIZE;
    bool same = samba.checksumBuffer(g_loader_addr, size) == g_plain_cksum;
    printf("firmware: %s\n", same ? "matches" : "differs");
    return same;
}

}  // namespace

int saveBackup(Samba& samba, uint32_t chipId, const std::string& dir, const BackupOptions& options)
{
    const std::string files[] = {pathIn(dir, FIRMWARE_FILE), pathIn(dir, SETTINGS_FILE),
                                 pathIn(dir, ADAPTER_FILE)};
    std::error_code ec;
    for (const std::string& file : files) {
        if (!options.force && std::filesystem::exists(file, ec)) {
            printf("%s already holds a backup (%s); --force replaces it, abort\n", dir.c_str(),
                   file.c_str());
            return 1;
        }
    }

    printf("\n");
    timer_start();
    Identity identity = readIdentity(samba);
    // FirmwareCheck, and so tarvo -f, takes no package of another letter.
    if (!device::isKnownType(identity.type)) {
        printf("Adapter type 0x%02X is not a known one, no package can hold its firmware, abort\n",
               identity.type);
        return 1;
    }
    std::string report;
    infoLines(samba, chipId, [&report](const std::string& text) { report += text; });
    fputs(report.c_str(), stdout);

    const uint32_t settingsBase = device::settingsBase(chipId);
    const uint32_t romSize = device::romSize(chipId);
    Bytes firmware, settings;
    uint32_t firmwareSum = 0, settingsSum = 0;
    if (!readChecked(samba, "firmware", device::FIRMWARE_BASE, romSize, firmware, firmwareSum) ||
        !readChecked(samba, "settings", settingsBase, device::SETTINGS_SIZE, settings,
                     settingsSum))
        return 1;

    char sums[200];
    snprintf(sums, sizeof(sums),
             "Firmware checksum: 0x%08X (0x%05X, %u bytes)\n"
             "Settings checksum: 0x%08X (0x%05X, %u bytes)\n",
             firmwareSum, device::FIRMWARE_BASE, romSize, settingsSum, settingsBase,
             device::SETTINGS_SIZE);
    report += sums;
    report += "Saved: " + utcNow() + "\nBy: tarvo-backup " TARVO_VERSION "\n";

    std::filesystem::create_directories(dir, ec);
    if (ec) {
        printf("Failed to create directory %s: %s, abort\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    // adapter.txt goes last: a backup without it is one that did not finish.
    if (!writeFile(files[0], firmwarePackage(firmware, identity.type, identity.board, firmwareSum)) ||
        !writeFile(files[1], settings) ||
        !writeFile(files[2], Bytes(report.begin(), report.end())))
        return 1;
    printf("Backup saved in %s\n", dir.c_str());
    printf("done in %5.3f seconds\n", timer_stop());
    return 0;
}

int verifyBackup(Samba& samba, uint32_t chipId, const std::string& target,
                 const BackupOptions& options)
{
    std::error_code ec;
    const bool isDir = std::filesystem::is_directory(target, ec);
    const std::string pkg = isDir ? pathIn(target, FIRMWARE_FILE) : target;
    Bytes saved;
    std::string error;
    if (isDir && !readFileBytes(pathIn(target, SETTINGS_FILE), saved, error)) {
        printf("Failed in opening adapter setting file %s, abort\n",
               pathIn(target, SETTINGS_FILE).c_str());
        return 1;
    }

    printf("\n");
    timer_start();
    if (!takePackage(samba, chipId, pkg, options.force))
        return 1;
    bool same = verifyFirmware(samba);
    if (isDir) {
        Bytes area;
        uint32_t sum;
        if (!readChecked(samba, "settings", device::settingsBase(chipId), device::SETTINGS_SIZE,
                         area, sum))
            return 1;
        size_t differ = saved.size() < area.size() ? area.size() - saved.size() : 0;
        for (size_t i = 0; i < area.size() && i < saved.size(); i++)
            differ += area[i] != saved[i];
        if (differ == 0)
            printf("settings: matches\n");
        else
            printf("settings: differ in %zu bytes\n", differ);
        same = same && differ == 0;
    }
    printf("done in %5.3f seconds\n", timer_stop());
    return same ? 0 : 1;
}

int restoreBackup(Samba& samba, uint32_t chipId, const std::string& dir,
                  const BackupOptions& options, bool& restarted)
{
    restarted = false;
    const std::string pkg = pathIn(dir, FIRMWARE_FILE);
    const std::string settings = pathIn(dir, SETTINGS_FILE);
    Bytes text;
    AdapterIdentity saved;
    std::string error;
    if (!readFileBytes(pathIn(dir, ADAPTER_FILE), text, error) ||
        !parseIdentity(std::string(text.begin(), text.end()), saved)) {
        printf("%s holds no complete backup (no adapter identity in %s), abort\n", dir.c_str(),
               ADAPTER_FILE);
        return 1;
    }
    Identity now = readIdentity(samba);
    if (now.serial != saved.serial || now.board != saved.board) {
        printf("\nThe backup is of adapter SN %s, PCB Ver 0x%04X; this one is SN %s, PCB Ver "
               "0x%04X: %s\n",
               saved.serial.c_str(), saved.board, now.serial.c_str(), now.board,
               options.force ? "restoring anyway (--force)"
                             : "restore refused (--force restores it anyway)");
        if (!options.force)
            return 1;
    }

    // The install restarts the adapter, after which its monitor answers no
    // more; so the settings go first, and the install keeps them. Every
    // check the install makes before its erase is made before either.
    if (!takePackage(samba, chipId, pkg, options.force))
        return 1;
    if (settingUpdate(samba, settings.c_str(), chipId) != ActionResult::Done)
        return 1;
    ActionResult installed =
        firmwareUpdate(samba, pkg.c_str(), chipId, options.force, restarted);
    return installed == ActionResult::Done ? 0 : 1;
}
