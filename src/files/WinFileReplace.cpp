// FileReplace on Windows: a temporary file in the target's folder, flushed and
// moved over it under a guard that deletes it on Ctrl+C or a closed console.
#include <string>

#include "files/FileFill.h"
#include "files/FileReplace.h"
#include "files/WinApi.h"
#include "files/WinReplace.h"
#include "files/WinWriteGuard.h"

#ifndef REPLACEFILE_IGNORE_ACL_ERRORS
#define REPLACEFILE_IGNORE_ACL_ERRORS 0x00000004
#endif

namespace {

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string failure(const char* what, const std::string& path, DWORD code)
{
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    std::string reason = n ? std::string(text, n) : "error " + std::to_string(code);
    return std::string(what) + " " + path + ": " + reason;
}

class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : _h(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return _h; }
    bool valid() const { return _h != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE h = _h;
        _h = INVALID_HANDLE_VALUE;
        return h;
    }
    bool close()
    {
        bool ok = !valid() || CloseHandle(_h);
        _h = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE _h;
};

class HandleSink : public FileSink {
public:
    HandleSink(HANDLE h, WinWriteGuard& guard) : _h(h), _guard(guard) {}
    bool write(const uint8_t* data, size_t size) override
    {
        while (size > 0 && _error == 0) {
            DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!_guard.write(_h, data, chunk, &written))
                _error = GetLastError();
            else if (written == 0)
                _error = ERROR_WRITE_FAULT;
            data += written;
            size -= written;
        }
        return _error == 0;
    }
    DWORD failure() const { return _error; }

private:
    HANDLE _h;
    WinWriteGuard& _guard;
    DWORD _error = 0;
};

bool fill(HANDLE h, WinWriteGuard& guard, bool flush, const std::string& path, const FileContent& content,
          std::string& error)
{
    HandleSink sink(h, guard);
    return fillSink(
        sink, content,
        [&] { return sink.failure() ? failure("cannot write", path, sink.failure()) : std::string(); },
        [&] {
            return !flush || FlushFileBuffers(h) ? std::string()
                                                 : failure("cannot write", path, GetLastError());
        },
        error);
}

std::wstring directoryOf(const std::wstring& path)
{
    size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos)
        return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : std::wstring();
    return path.substr(0, sep + 1);
}

// A short unique name in the target's folder, not yet taken.
std::wstring uniqueName(const std::wstring& dir, DWORD n)
{
    std::wstring name = dir + L".tarvo-";
    for (int shift = 28; shift >= 0; shift -= 4)
        name += L"0123456789abcdef"[(n >> shift) & 0xF];
    return name;
}

DWORD nameSeed() { return GetTickCount() ^ (GetCurrentProcessId() << 16); }

// Created exclusively, with DELETE access so the guard can always remove it.
HANDLE createTemporary(const std::wstring& target, std::wstring& name)
{
    const std::wstring dir = directoryOf(target);
    const DWORD seed = nameSeed();
    for (DWORD attempt = 0; attempt < 100; attempt++) {
        name = uniqueName(dir, seed + attempt * 7919);
        HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return h;
    }
    return INVALID_HANDLE_VALUE;
}

// A free name for the old file while ReplaceFileW moves the new one in.
std::wstring backupName(const std::wstring& target, const std::wstring& tempName)
{
    const std::wstring dir = directoryOf(target);
    for (DWORD n = nameSeed() ^ 0x5A5A5A5A, attempt = 0; attempt < 100; attempt++, n += 104729) {
        std::wstring name = uniqueName(dir, n);
        if (name != tempName && GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND)
            return name;
    }
    return std::wstring();
}

// The name the file is reached by once links are followed.
std::wstring finalName(HANDLE h, const std::wstring& fallback)
{
    wchar_t buf[32768];
    DWORD n = GetFinalPathNameByHandleW(h, buf, sizeof(buf) / sizeof(buf[0]), FILE_NAME_NORMALIZED);
    if (n == 0 || n >= sizeof(buf) / sizeof(buf[0]))
        return fallback;
    return std::wstring(buf, n);
}

bool exists(const std::wstring& name) { return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool moveOnto(const std::wstring& from, const std::wstring& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool systemReplace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup)
{
    return ReplaceFileW(target.c_str(), replacement.c_str(), backup.empty() ? nullptr : backup.c_str(),
                        REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr) != FALSE;
}
void systemRemove(const std::wstring& name) { DeleteFileW(name.c_str()); }
DWORD systemLastError() { return GetLastError(); }

// Moves the new file over the old one; ReplaceFileW keeps the old file's
// attributes and security. note says where the old content is if it could not
// be put back.
DWORD replaceWith(const std::wstring& target, const std::wstring& tempName, std::string& note)
{
    static const WinReplaceCalls calls = {systemReplace, moveOnto, exists, systemRemove, systemLastError};
    std::wstring keptIn;
    const DWORD code = replaceWithRecovery(calls, target, tempName, backupName(target, tempName), keptIn);
    if (!keptIn.empty())
        note = "; the old content is in " + narrow(keptIn);
    return code;
}

bool writeInPlace(HANDLE h, bool disk, const std::string& path, const FileContent& content, std::string& error)
{
    WinWriteGuard guard;
    if (disk && !SetEndOfFile(h)) {
        error = failure("cannot write", path, GetLastError());
        return false;
    }
    return fill(h, guard, disk, path, content, error);
}

bool writeBeside(HANDLE tempHandle, const std::wstring& tempName, const std::wstring& target, bool replacing,
                 const std::string& path, const FileContent& content, std::string& error)
{
    WinWriteGuard guard;
    guard.guardTemporary(tempHandle, tempName);
    if (!fill(tempHandle, guard, true, path, content, error))
        return false;
    std::string note;
    DWORD code = 0;
    const bool ok = guard.commit(
        [&]() -> DWORD {
            if (replacing)
                return replaceWith(target, tempName, note);
            return moveOnto(tempName, target) ? 0 : GetLastError();
        },
        code);
    if (!ok)
        error = failure("cannot replace", path, code) + note;
    return ok;
}

}  // namespace

bool replaceFile(const std::string& path, const FileContent& content, std::string& error)
{
    const std::wstring wide = widen(path);
    // Write protection holds before anything changes: the read-only attribute
    // (which an administrator's open would not stop), then a denied ACL.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = failure("cannot write", path, ERROR_ACCESS_DENIED);
        return false;
    }
    Handle existing(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!existing.valid()) {
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) {
            error = failure("cannot write", path, code);
            return false;
        }
        std::wstring tempName;
        HANDLE temp = createTemporary(wide, tempName);
        if (temp == INVALID_HANDLE_VALUE) {
            error = failure("cannot create", path, GetLastError());
            return false;
        }
        return writeBeside(temp, tempName, wide, false, path, content, error);
    }
    const bool disk = GetFileType(existing.get()) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info;
    if (!disk || (GetFileInformationByHandle(existing.get(), &info) && info.nNumberOfLinks > 1))
        return writeInPlace(existing.get(), disk, path, content, error);

    const std::wstring target = finalName(existing.get(), wide);
    std::wstring tempName;
    HANDLE temp = createTemporary(target, tempName);
    if (temp == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code != ERROR_ACCESS_DENIED) {
            error = failure("cannot create", path, code);
            return false;
        }
        // A writable file in a folder that cannot take another one.
        return writeInPlace(existing.get(), true, path, content, error);
    }
    existing.close();
    return writeBeside(temp, tempName, target, true, path, content, error);
}

bool appendToFile(const std::string& path, const FileContent& content, uint64_t& offset, std::string& error)
{
    const std::wstring wide = widen(path);
    Handle file(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            offset = 0;
            return replaceFile(path, content, error);
        }
        error = failure("cannot write", path, code);
        return false;
    }
    const bool disk = GetFileType(file.get()) == FILE_TYPE_DISK;
    LARGE_INTEGER zero = {};
    LARGE_INTEGER end = {};
    if (disk && !SetFilePointerEx(file.get(), zero, &end, FILE_END)) {
        error = failure("cannot write", path, GetLastError());
        return false;
    }
    offset = static_cast<uint64_t>(end.QuadPart);
    // Declared after the handle, so it is gone before the handle closes.
    WinWriteGuard guard;
    if (disk)
        guard.guardAppend(file.get(), end);
    if (!fill(file.get(), guard, disk, path, content, error))
        return false;
    if (disk && !guard.finishAppend()) {
        error = failure("cannot write", path, ERROR_OPERATION_ABORTED);
        return false;
    }
    return true;
}
