// A backup is replaced as one folder: the new one is filled beside the old
// and renamed into place, so no failure leaves a mix of old and new files.
#include <filesystem>
#include <random>
#include <system_error>

#include "BackupSteps.h"

namespace fs = std::filesystem;

namespace backup {

namespace {

const char* const BACKUP_FILES[] = {FIRMWARE_FILE, SETTINGS_FILE, RECORD_FILE};

bool isBackupFile(const fs::path& name)
{
    for (const char* file : BACKUP_FILES)
        if (name == file)
            return true;
    return false;
}

// "saved/" names the folder "saved"; its parent is "." when none is given.
fs::path withoutTrailingSeparators(const std::string& text)
{
    std::string s = text;
    while (s.size() > 1 && (s.back() == '/' || s.back() == '\\'))
        s.pop_back();
    return fs::path(s);
}

// A name beside target that nothing holds yet, made as a folder.
bool makeSibling(const fs::path& target, const char* kind, fs::path& made, std::error_code& ec)
{
    static std::mt19937 random{std::random_device{}()};
    fs::path parent = target.parent_path();
    if (parent.empty())
        parent = ".";
    for (int attempt = 0; attempt < 100; attempt++) {
        made = parent / ("." + target.filename().string() + "." + kind + "-" +
                         std::to_string(random() % 1000000));
        if (fs::create_directory(made, ec))
            return true;
        if (ec)
            return false;
    }
    ec = std::make_error_code(std::errc::file_exists);
    return false;
}

}  // namespace

NewFolder::~NewFolder()
{
    if (_committed || _path.empty())
        return;
    std::error_code ec;
    fs::remove_all(_path, ec);
    if (_created.empty())
        return;
    // Only the parent folders made for it, and only when nothing else went in.
    for (fs::path p = fs::path(_path).parent_path(); !p.empty(); p = p.parent_path()) {
        if (!fs::remove(p, ec) || p == fs::path(_created))
            break;
    }
}

bool NewFolder::open(const std::string& targetText, bool replace, std::string& error)
{
    const fs::path target = withoutTrailingSeparators(targetText);
    _target = target.string();
    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) {
            error = targetText + " is not a folder";
            return false;
        }
        for (const char* file : BACKUP_FILES) {
            const fs::file_status held = fs::symlink_status(target / file, ec);
            if (!fs::exists(held))
                continue;
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
        // The old folder is emptied into the new one at the end: find out
        // now, not after the adapter is read, that this cannot be done.
        fs::path probe;
        if (!makeSibling(target / "x", "probe", probe, ec)) {
            error = "cannot write in " + targetText + ": " + ec.message();
            return false;
        }
        fs::remove(probe, ec);
        _replacing = true;
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
    }
    fs::path made;
    if (!makeSibling(target, "new", made, ec)) {
        error = "cannot make a folder beside " + targetText + ": " + ec.message();
        if (!_created.empty())
            fs::remove_all(_created, ec);
        _created.clear();
        return false;
    }
    _path = made.string();
    return true;
}

bool NewFolder::commit(std::string& error)
{
    std::error_code ec;
    if (!_replacing) {
        fs::rename(_path, _target, ec);
        if (ec) {
            error = "cannot rename " + _path + " to " + _target + ": " + ec.message();
            return false;
        }
        _committed = true;
        return true;
    }

    // The old folder steps aside under a name of its own, then the new one
    // takes the target's name; either failing puts the old one back.
    fs::path old;
    if (!makeSibling(_target, "old", old, ec) || !fs::remove(old, ec)) {
        error = "cannot make a folder beside " + _target + ": " + ec.message();
        return false;
    }
    fs::rename(_target, old, ec);
    if (ec) {
        error = "cannot move " + _target + " aside: " + ec.message();
        return false;
    }
    fs::rename(_path, _target, ec);
    if (ec) {
        error = "cannot rename " + _path + " to " + _target + ": " + ec.message();
        std::error_code back;
        fs::rename(old, _target, back);
        return false;
    }
    _committed = true;

    // The user's own files in the old folder stay in the folder.
    std::string left;
    for (const fs::directory_entry& entry : fs::directory_iterator(old, ec)) {
        const fs::path name = entry.path().filename();
        if (isBackupFile(name))
            continue;
        std::error_code moved;
        fs::rename(entry.path(), fs::path(_target) / name, moved);
        if (moved)
            left += (left.empty() ? "" : ", ") + name.string();
    }
    if (left.empty() && !ec) {
        fs::remove_all(old, ec);
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
