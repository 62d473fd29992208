// The platform's calls for putting a whole folder in place of another.
#pragma once

#include <string>

// Gives a the name b and b the name a in one step. 0, or the system's error
// number: ENOSYS where the system has no such step (the caller then renames
// twice), EINVAL or ENOTSUP where the file system does not take it.
int exchangeFolders(const std::string& a, const std::string& b);
// Syncs a folder's entries (the renames in it) to disk; false when that failed.
bool syncFolder(const std::string& path);
