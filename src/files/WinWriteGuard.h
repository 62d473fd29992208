// The Windows write guard: for the length of one write, Ctrl+C or a closed
// console undoes what the write has changed (deletes its temporary file, cuts
// an appended file back). The console handler runs on a thread of its own, so
// the guard's state, each appended write and the final move are taken under
// one lock: the handler sees either the old file or the new one, never a half.
// Writes may nest.
#pragma once

#include <string>

#include "files/WinApi.h"

class WinWriteGuard {
public:
    WinWriteGuard();
    // Undoes whatever was not committed, exceptions included.
    ~WinWriteGuard();
    WinWriteGuard(const WinWriteGuard&) = delete;
    WinWriteGuard& operator=(const WinWriteGuard&) = delete;

    // The temporary file, open with DELETE access; the guard's to delete from
    // now on, and to close.
    void guardTemporary(HANDLE temp, const std::wstring& name);
    HANDLE temporary() const { return _temp; }
    // Closes the temporary file, then runs move (which renames it into place
    // and returns the error to report, 0 for none) under the lock; false with
    // the error when a console stop came first or the close or move failed.
    template <typename Move>
    bool commit(Move move, DWORD& error);

    // file is cut back to length unless finishAppend runs.
    void guardAppend(HANDLE file, LARGE_INTEGER length);
    bool finishAppend();

    // One write to the guarded file, never meeting a cut-back halfway.
    BOOL write(HANDLE h, const void* data, DWORD size, DWORD* written);

    bool stopped() const;

    // From the console handler: undoes every live guard's write.
    static void undoAll();

private:
    void lock() const;
    void unlock() const;
    bool closeTemporary();
    void undo();

    WinWriteGuard* _next = nullptr;
    HANDLE _temp = INVALID_HANDLE_VALUE;
    std::wstring _tempName;
    HANDLE _append = INVALID_HANDLE_VALUE;
    LARGE_INTEGER _length = {};
    bool _stopped = false;
};

template <typename Move>
bool WinWriteGuard::commit(Move move, DWORD& error)
{
    lock();
    error = 0;
    if (_stopped)
        error = ERROR_OPERATION_ABORTED;
    else if (!closeTemporary())
        error = GetLastError();
    else
        error = move();
    // Whatever move left at the temporary name is not the user's file.
    if (!_tempName.empty())
        DeleteFileW(_tempName.c_str());
    _tempName.clear();
    unlock();
    return error == 0;
}
