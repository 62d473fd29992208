#include "files/WinWriteGuard.h"

namespace {

// The live guards, newest first. Changed, and undone, only under the lock.
SRWLOCK g_lock = SRWLOCK_INIT;
WinWriteGuard* g_guards = nullptr;
int g_depth = 0;

BOOL WINAPI onConsoleStop(DWORD)
{
    WinWriteGuard::undoAll();
    return FALSE;  // the next handler, by default the one that ends the process
}

}  // namespace

void WinWriteGuard::lock() const { AcquireSRWLockExclusive(&g_lock); }
void WinWriteGuard::unlock() const { ReleaseSRWLockExclusive(&g_lock); }

void WinWriteGuard::undoAll()
{
    AcquireSRWLockExclusive(&g_lock);
    for (WinWriteGuard* g = g_guards; g; g = g->_next) {
        g->undo();
        g->_stopped = true;
    }
    ReleaseSRWLockExclusive(&g_lock);
}

// Under the lock.
void WinWriteGuard::undo()
{
    if (_temp != INVALID_HANDLE_VALUE) {
        // Still open, and shared with no one: deleted as it closes, at the
        // latest when the process ends.
        FILE_DISPOSITION_INFO dispose = {TRUE};
        SetFileInformationByHandle(_temp, FileDispositionInfo, &dispose, sizeof(dispose));
    } else if (!_tempName.empty()) {
        DeleteFileW(_tempName.c_str());
    }
    _tempName.clear();
    if (_append != INVALID_HANDLE_VALUE && SetFilePointerEx(_append, _length, nullptr, FILE_BEGIN) &&
        SetEndOfFile(_append))
        FlushFileBuffers(_append);
}

WinWriteGuard::WinWriteGuard()
{
    lock();
    _next = g_guards;
    g_guards = this;
    const bool first = g_depth++ == 0;
    unlock();
    // Outside the lock: the system may hold its own while it calls handlers.
    if (first)
        SetConsoleCtrlHandler(onConsoleStop, TRUE);
}

WinWriteGuard::~WinWriteGuard()
{
    lock();
    const bool open = _temp != INVALID_HANDLE_VALUE;
    closeTemporary();
    if (open || !_tempName.empty())
        DeleteFileW(_tempName.c_str());
    _tempName.clear();
    undo();
    for (WinWriteGuard** link = &g_guards; *link; link = &(*link)->_next)
        if (*link == this) {
            *link = _next;
            break;
        }
    const bool last = --g_depth == 0;
    unlock();
    if (last)
        SetConsoleCtrlHandler(onConsoleStop, FALSE);
}

void WinWriteGuard::guardTemporary(HANDLE temp, const std::wstring& name)
{
    lock();
    _temp = temp;
    _tempName = name;
    unlock();
}

bool WinWriteGuard::closeTemporary()
{
    if (_temp == INVALID_HANDLE_VALUE)
        return true;
    const BOOL closed = CloseHandle(_temp);
    _temp = INVALID_HANDLE_VALUE;
    return closed != FALSE;
}

void WinWriteGuard::guardAppend(HANDLE file, LARGE_INTEGER length)
{
    lock();
    _append = file;
    _length = length;
    unlock();
}

bool WinWriteGuard::finishAppend()
{
    lock();
    const bool ok = !_stopped;
    if (ok)
        _append = INVALID_HANDLE_VALUE;
    unlock();
    return ok;
}

BOOL WinWriteGuard::write(HANDLE h, const void* data, DWORD size, DWORD* written)
{
    lock();
    BOOL ok = FALSE;
    *written = 0;
    if (_stopped)
        SetLastError(ERROR_OPERATION_ABORTED);
    else
        ok = WriteFile(h, data, size, written, nullptr);
    unlock();
    return ok;
}

bool WinWriteGuard::stopped() const
{
    lock();
    const bool stopped = _stopped;
    unlock();
    return stopped;
}
