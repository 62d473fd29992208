// What the backup procedures share among themselves.
#pragma once

#include <string>

#include "AdapterIdentity.h"
#include "backup/Backup.h"

class Samba;

namespace backup {

// printf into a string of up to 1023 characters.
// Checked as the C99 formats (%zu, %llu) that the program's printf takes on
// every platform, also where the compiler assumes an older C library.
#if defined(__MINGW32__)
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

// The connected adapter as a record names it.
struct AdapterNow : AdapterIdentity {
    uint32_t chipId = 0;
};
AdapterNow readAdapter(Samba& samba, uint32_t chipId);

// What differs between the adapter a record names and this one, in words
// ("" when it is the same one): chip, serial number, board version, type.
std::string adapterDifference(const Record& record, const AdapterNow& now);
// Whether only a restore onto another adapter of the same chip and type
// could take it (the serial number or board version differs).
bool sameChipAndType(const Record& record, const AdapterNow& now);

// The information report as tarvo -i shows it, every adapter-sent text in
// it escaped: version, identity, and the firmware version words (at the
// settings base less 16 and less 12).
std::string recordReport(const std::string& version, const AdapterIdentity& id,
                         uint32_t firmwareWord, uint32_t firmwareExtra);

// A backup folder read whole and checked against its record.
struct BackupFiles {
    Record record;
    Bytes package;
    Bytes settings;
};
// False (reported, naming the file) when the record is missing or incomplete,
// or a file is missing, unreadable, or not the size and SHA-256 recorded.
bool loadBackup(const std::string& dir, BackupFiles& files, Report& report);

// Whether a setting image is one the adapter's firmware can use: 4096 bytes
// in the emulated-EEPROM format, or all erased.
bool usableSettingImage(const Bytes& image);
// What save and restore say of a setting area that is not such an image:
// it is kept and put back as it is, all the same.
std::string settingFormatWarning();

// The folder a save fills and puts in place at the end (BackupFolder.cpp).
// A new backup is filled beside the target and renamed into place (or, for
// --replace, exchanged with the old one in one step); an existing empty
// folder is filled where it is, and keeps its owner, mode and mount. Until
// commit succeeds the target is as it was: what was written goes when this
// is destroyed, and so do the parent folders open made, when empty.
class NewFolder {
public:
    NewFolder() = default;
    ~NewFolder();
    NewFolder(const NewFolder&) = delete;
    NewFolder& operator=(const NewFolder&) = delete;

    // Checks the target (absent, an empty folder, or one holding a backup
    // when replace), removes what an earlier stopped save left beside it,
    // and makes the folder to fill, so that an unwritable place shows before
    // the adapter is read. False with the reason; notes says what was done.
    bool open(const std::string& target, bool replace, std::string& error, std::string& notes);
    const std::string& path() const { return _path; }
    // Puts the backup at the target's name; an old folder's other entries
    // move into the new one and the old backup files go. False with the
    // reason, the target then as it was; error may hold a note on success.
    bool commit(std::string& error);

private:
    enum class Mode { Fresh, InPlace, Replace };
    std::string _target;   // the folder itself, a link to it followed
    std::string _path;     // the folder being filled
    std::string _created;  // the first parent folder open made ("" = none)
    Mode _mode = Mode::Fresh;
    bool _committed = false;
};

// Tests only: called with each step of a commit's name before it is taken.
using FolderStepHook = void (*)(const char* step);
FolderStepHook& folderStepHook();

}  // namespace backup
