// A backup is put in place as one folder: the new one is filled beside the
// old and exchanged with it, so no failure leaves a mix of old and new files
// and the target always names a whole backup.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "backup/BackupSteps.h"
#include "files/FolderSwap.h"

namespace fs = std::filesystem;

namespace backup {

FolderStepHook& folderStepHook()
{
    static FolderStepHook hook = nullptr;
    return hook;
}

namespace {

const char* const BACKUP_FILES[] = {FIRMWARE_FILE, SETTINGS_FILE, RECORD_FILE};

void step(const char* name)
{
    if (folderStepHook())
        folderStepHook()(name);
}

bool isBackupFile(const fs::path& name)
{
    for (const char* file : BACKUP_FILES)
        if (name == file)
            return true;
    return false;
}

// What a save writes into its folder: the files, and the file-writing unit's
// temporary files of a write that was cut off.
bool isSaveFile(const fs::path& name)
{
    return isBackupFile(name) || name.string().rfind(".tarvo-", 0) == 0;
}

// "saved/" names the folder "saved"; its parent is "." when none is given.
fs::path withoutTrailingSeparators(const std::string& text)
{
    std::string s = text;
    while (s.size() > 1 && (s.back() == '/' || s.back() == '\\'))
        s.pop_back();
    return fs::path(s);
}

fs::path parentOf(const fs::path& target)
{
    fs::path parent = target.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

// A name beside target that nothing holds yet, made as a folder.
bool makeSibling(const fs::path& target, const char* kind, fs::path& made, std::error_code& ec)
{
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; attempt++) {
        made = parentOf(target) / ("." + target.filename().string() + "." + kind + "-" +
                                   std::to_string(random() % 1000000));
        if (fs::create_directory(made, ec))
            return true;
        if (ec)
            return false;
    }
    ec = std::make_error_code(std::errc::file_exists);
    return false;
}

// Whether name is one makeSibling gives target's folders of this kind.
bool isSiblingOf(const std::string& name, const fs::path& target, const char* kind)
{
    const std::string prefix = "." + target.filename().string() + "." + kind + "-";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// The folders an earlier save that was killed left beside target: removed
// when they hold nothing but what a save writes, else named and kept.
void removeLeftovers(const fs::path& target, std::string& notes)
{
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(parentOf(target), ec)) {
        const std::string name = entry.path().filename().string();
        if (!isSiblingOf(name, target, "new") && !isSiblingOf(name, target, "old"))
            continue;
        if (!entry.is_directory(ec) || entry.is_symlink(ec))
            continue;
        bool ours = true;
        for (const fs::directory_entry& inside : fs::directory_iterator(entry.path(), ec))
            ours = ours && isSaveFile(inside.path().filename());
        std::error_code removed;
        if (ours && !ec && fs::remove_all(entry.path(), removed) != static_cast<uintmax_t>(-1) &&
            !removed)
            notes += "Removed " + entry.path().string() + ", left by an earlier save that was "
                     "stopped\n";
        else
            notes += "Note: " + entry.path().string() + ", left by an earlier save that was "
                     "stopped, holds other files and is kept\n";
    }
}

// Whether the folder holds nothing at all; a file system's own lost+found
// does not count.
bool isEmptyFolder(const fs::path& folder, std::string& first, std::error_code& ec)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().filename() == "lost+found")
            continue;
        first = entry.path().filename().string();
        return false;
    }
    return !ec;
}

// Removes the empty folders from folder up to and including last.
void removeMadeFolders(fs::path folder, const fs::path& last)
{
    std::error_code ec;
    for (; !folder.empty(); folder = folder.parent_path()) {
        if (!fs::remove(folder, ec) || folder == last)
            break;
    }
}

}  // namespace

NewFolder::~NewFolder()
{
    if (_committed || _path.empty())
        return;
    std::error_code ec;
    if (_mode == Mode::InPlace) {
        // The folder is the user's: only what this save wrote goes.
        for (const fs::directory_entry& entry : fs::directory_iterator(_path, ec))
            if (isSaveFile(entry.path().filename()))
                fs::remove(entry.path(), ec);
        return;
    }
    fs::remove_all(_path, ec);
    if (!_created.empty())
        removeMadeFolders(parentOf(_target), _created);
}

bool NewFolder::open(const std::string& targetText, bool replace, std::string& error,
                     std::string& notes)
{
    fs::path target = withoutTrailingSeparators(targetText);
    std::error_code ec;
    // A link stays a link: what it leads to is the folder that is filled or
    // replaced.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path real = fs::canonical(target, ec);
        if (ec) {
            error = targetText + " is a link to nothing (" + ec.message() + ")";
            return false;
        }
        target = real;
    }
    _target = target.string();
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) {
            error = targetText + " is not a folder";
            return false;
        }
        bool holdsBackup = false;
        for (const char* file : BACKUP_FILES) {
            const fs::file_status held = fs::symlink_status(target / file, ec);
            if (!fs::exists(held))
                continue;
            holdsBackup = true;
            if (!replace) {
                error = targetText + " already holds a backup (" + pathIn(targetText, file) +
                        "); --replace replaces it";
                return false;
            }
            // A file nobody may write is one its owner meant to keep.
            const fs::perms writable =
                fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
            if ((held.permissions() & writable) == fs::perms::none) {
                error = pathIn(targetText, file) +
                        " is read-only; make it writable to replace the backup";
                return false;
            }
        }
        std::string first;
        if (!holdsBackup && !isEmptyFolder(target, first, ec)) {
            error = ec ? targetText + ": " + ec.message()
                       : targetText + " holds other files (" + pathIn(targetText, first.c_str()) +
                             ") and no backup; name a new or empty folder";
            return false;
        }
        // Written in, or emptied into the new one at the end: find out now,
        // not after the adapter is read, that this cannot be done.
        fs::path probe;
        if (!makeSibling(target / "x", "probe", probe, ec)) {
            error = "cannot write in " + targetText + ": " + ec.message();
            return false;
        }
        fs::remove(probe, ec);
        if (!holdsBackup) {
            _mode = Mode::InPlace;
            _path = _target;
            return true;
        }
        _mode = Mode::Replace;
    } else if (ec && ec != std::errc::no_such_file_or_directory) {
        error = targetText + ": " + ec.message();
        return false;
    }

    fs::path parent = target.parent_path();
    if (!parent.empty() && !fs::exists(parent, ec)) {
        fs::path first = parent;
        while (!first.parent_path().empty() && !fs::exists(first.parent_path(), ec))
            first = first.parent_path();
        // Another process may make it meanwhile (the station's workers do).
        fs::create_directories(parent, ec);
        if (ec || !fs::is_directory(parent, ec)) {
            error = "cannot make the folder " + parent.string() + ": " +
                    (ec ? ec.message() : std::string("a file of that name is in the way"));
            return false;
        }
        _created = first.string();
    } else {
        removeLeftovers(target, notes);
    }
    fs::path made;
    if (!makeSibling(target, "new", made, ec)) {
        error = "cannot make a folder beside " + targetText + ": " + ec.message();
        if (!_created.empty())
            removeMadeFolders(parent, _created);
        _created.clear();
        return false;
    }
    _path = made.string();
    return true;
}

bool NewFolder::commit(std::string& error)
{
    std::error_code ec;
    const std::string parent = parentOf(_target).string();
    if (_mode == Mode::InPlace) {
        syncFolder(_path);
        _committed = true;
        return true;
    }
    if (_mode == Mode::Fresh) {
        step("rename");
        fs::rename(_path, _target, ec);
        if (ec) {
            error = "cannot rename " + _path + " to " + _target + ": " + ec.message();
            return false;
        }
        _committed = true;
        syncFolder(parent);
        return true;
    }

    // The new folder takes the old one's mode, then the two names are
    // exchanged in one step; where the system cannot, the old folder steps
    // aside and the new one is renamed into place.
    fs::permissions(_path, fs::status(_target, ec).permissions(), ec);
    fs::path old = _path;
    step("exchange");
    int err = exchangeFolders(_path, _target);
    const std::error_condition why = std::generic_category().default_error_condition(err);
    if (err != 0 && (why == std::errc::function_not_supported ||
                     why == std::errc::invalid_argument || why == std::errc::not_supported)) {
        if (!makeSibling(_target, "old", old, ec) || !fs::remove(old, ec)) {
            error = "cannot make a folder beside " + _target + ": " + ec.message();
            return false;
        }
        fs::rename(_target, old, ec);
        if (ec) {
            error = "cannot move " + _target + " aside: " + ec.message();
            return false;
        }
        step("rename");
        fs::rename(_path, _target, ec);
        if (ec) {
            error = "cannot rename " + _path + " to " + _target + ": " + ec.message();
            std::error_code back;
            fs::rename(old, _target, back);
            return false;
        }
    } else if (err != 0) {
        error = "cannot put " + _path + " in place of " + _target + ": " + strerror(err);
        return false;
    }
    _committed = true;
    syncFolder(parent);

    // The user's own files in the old folder stay in the folder.
    step("move");
    std::string left;
    for (const fs::directory_entry& entry : fs::directory_iterator(old, ec)) {
        const fs::path name = entry.path().filename();
        if (isSaveFile(name))
            continue;
        std::error_code moved;
        fs::rename(entry.path(), fs::path(_target) / name, moved);
        if (moved)
            left += (left.empty() ? "" : ", ") + name.string();
    }
    step("remove");
    if (left.empty() && !ec) {
        fs::remove_all(old, ec);
        syncFolder(parent);
        if (!ec)
            return true;
        error = "the new backup is in " + _target + "; " + old.string() +
                " still holds the old one and could not be removed: " + ec.message();
        return true;
    }
    error = "the new backup is in " + _target + "; " + old.string() +
            " still holds the old one and " + (left.empty() ? "files" : left) +
            " that could not be moved";
    return true;
}

}  // namespace backup
