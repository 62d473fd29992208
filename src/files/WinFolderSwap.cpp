#include <cerrno>

#include "files/FolderSwap.h"

// Windows moves a folder only onto a free name: the caller renames twice.
int exchangeFolders(const std::string&, const std::string&)
{
    return ENOSYS;
}

// NTFS journals its folder entries; a folder cannot be flushed as a file is.
bool syncFolder(const std::string&)
{
    return true;
}
