// Moving a finished temporary file over the user's file on Windows, and
// putting the user's file back at its name when the move stops halfway.
#pragma once

#include <string>

#include "files/WinApi.h"

// The system calls the move makes; WinFileReplace passes the real ones.
struct WinReplaceCalls {
    // ReplaceFileW(target, replacement, backup, ...): false with lastError().
    bool (*replace)(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup);
    // Moves from onto to, replacing what is there.
    bool (*move)(const std::wstring& from, const std::wstring& to);
    bool (*exists)(const std::wstring& name);
    void (*remove)(const std::wstring& name);
    DWORD (*lastError)();
};

// Replaces target with temp, the old file passing through backup (a free name
// in the same folder). Returns 0 when the new content is at target, otherwise
// the error, with the old file at target again; keptIn is set to backup when
// not even that could be done and the old content is only there.
DWORD replaceWithRecovery(const WinReplaceCalls& calls, const std::wstring& target, const std::wstring& temp,
                          const std::wstring& backup, std::wstring& keptIn);
