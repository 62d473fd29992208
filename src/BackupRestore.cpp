#include <cstdio>

#include "Backup.h"
#include "BackupSteps.h"
#include "Device.h"
#include "FileRead.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

Outcome restore(Samba& samba, uint32_t chipId, const std::string& dir, const Options& options,
                Report& report, bool& restarted)
{
    restarted = false;
    const std::string pkg = pathIn(dir, FIRMWARE_FILE);
    const std::string settings = pathIn(dir, SETTINGS_FILE);
    Bytes text;
    RecordIdentity saved;
    std::string error;
    if (!readFileBytes(pathIn(dir, RECORD_FILE), text, error) ||
        !parseIdentity(std::string(text.begin(), text.end()), saved)) {
        report.text(format("%s holds no complete backup (no adapter identity in %s), abort\n",
                           dir.c_str(), RECORD_FILE));
        return Outcome::Refused;
    }
    const uint32_t word = samba.readWord(device::IDENTITY_ADDR);
    const uint16_t board = static_cast<uint16_t>(word & 0xFFFF);
    const std::string serial =
        serialText(samba.readWord(device::SERIAL_ADDR_LO), samba.readWord(device::SERIAL_ADDR_HI));
    if (serial != saved.serial || board != saved.board) {
        report.text(format("\nThe backup is of adapter SN %s, PCB Ver 0x%04X; this one is SN %s, "
                           "PCB Ver 0x%04X: %s\n",
                           saved.serial.c_str(), saved.board, serial.c_str(), board,
                           options.otherAdapter ? "restoring anyway (--force)"
                                                : "restore refused (--force restores it anyway)"));
        if (!options.otherAdapter)
            return Outcome::Refused;
    }

    // The install restarts the adapter, after which its monitor answers no
    // more; so the settings go first, and the install keeps them. Every
    // check the install makes before its erase is made before either.
    if (!takePackage(samba, chipId, pkg, options.anyType, report))
        return Outcome::Refused;
    fflush(stdout);
    if (settingUpdate(samba, settings.c_str(), chipId) != ActionResult::Done)
        return Outcome::Failed;
    ActionResult installed =
        firmwareUpdate(samba, pkg.c_str(), chipId, options.anyType, restarted);
    return installed == ActionResult::Done ? Outcome::Done : Outcome::Failed;
}

}  // namespace backup
