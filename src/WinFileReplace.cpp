// FileReplace on Windows: a temporary file in the target's folder, flushed and
// moved over it; Ctrl+C or a closed console deletes it.
#include <atomic>
#include <string>

#include "FileReplace.h"
#include "WinApi.h"

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

std::string failure(const char* what, const std::string& path, DWORD code)
{
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof(text), nullptr);
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
    bool close()
    {
        bool ok = !valid() || CloseHandle(_h);
        _h = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE _h;
};

// The temporary file a console stop has to delete; it was opened with DELETE
// access, so marking it is enough and the system removes it at exit.
std::atomic<HANDLE> g_pendingTemp{INVALID_HANDLE_VALUE};

BOOL WINAPI onConsoleStop(DWORD)
{
    HANDLE h = g_pendingTemp.exchange(INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO dispose = {TRUE};
        SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof(dispose));
    }
    return FALSE;  // the default handler ends the process
}

class ConsoleStopGuard {
public:
    explicit ConsoleStopGuard(HANDLE temp)
    {
        g_pendingTemp = temp;
        SetConsoleCtrlHandler(onConsoleStop, TRUE);
    }
    ~ConsoleStopGuard()
    {
        SetConsoleCtrlHandler(onConsoleStop, FALSE);
        g_pendingTemp = INVALID_HANDLE_VALUE;
    }
    ConsoleStopGuard(const ConsoleStopGuard&) = delete;
    ConsoleStopGuard& operator=(const ConsoleStopGuard&) = delete;
};

class HandleSink : public FileSink {
public:
    explicit HandleSink(HANDLE h) : _h(h) {}
    bool write(const uint8_t* data, size_t size) override
    {
        while (size > 0 && _error == 0) {
            DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!WriteFile(_h, data, chunk, &written, nullptr))
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
    DWORD _error = 0;
};

bool fill(HANDLE h, bool flush, const std::string& path, const FileContent& content, std::string& error)
{
    HandleSink sink(h);
    std::string reason;
    bool produced = content(sink, reason);
    if (sink.failure()) {
        error = failure("cannot write", path, sink.failure());
        return false;
    }
    if (!produced) {
        error = reason;
        return false;
    }
    if (flush && !FlushFileBuffers(h)) {
        error = failure("cannot write", path, GetLastError());
        return false;
    }
    return true;
}

std::wstring directoryOf(const std::wstring& path)
{
    size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos)
        return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : std::wstring();
    return path.substr(0, sep + 1);
}

// A short unique name in the target's folder, created exclusively.
HANDLE createTemporary(const std::wstring& target, std::wstring& name)
{
    const std::wstring dir = directoryOf(target);
    const DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (DWORD attempt = 0; attempt < 100; attempt++) {
        wchar_t suffix[16];
        wsprintfW(suffix, L"%08lx", static_cast<unsigned long>(seed + attempt * 7919));
        name = dir + L".tarvo-" + suffix;
        HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return h;
    }
    return INVALID_HANDLE_VALUE;
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

bool writeInPlace(HANDLE h, bool disk, const std::string& path, const FileContent& content,
                  std::string& error)
{
    if (disk && !SetEndOfFile(h)) {
        error = failure("cannot write", path, GetLastError());
        return false;
    }
    return fill(h, disk, path, content, error);
}

bool writeBeside(Handle& temp, const std::wstring& tempName, const std::wstring& target, bool exists,
                 const std::string& path, const FileContent& content, std::string& error)
{
    bool ok;
    {
        ConsoleStopGuard guard(temp.get());
        ok = fill(temp.get(), true, path, content, error);
    }
    if (ok && !temp.close()) {
        error = failure("cannot write", path, GetLastError());
        ok = false;
    }
    if (ok) {
        // ReplaceFileW keeps the old file's attributes and security.
        ok = exists ? ReplaceFileW(target.c_str(), tempName.c_str(), nullptr,
                                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                                   nullptr)
                    : MoveFileExW(tempName.c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!ok)
            error = failure("cannot replace", path, GetLastError());
    }
    if (!ok) {
        temp.close();
        DeleteFileW(tempName.c_str());
    }
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
        Handle temp(createTemporary(wide, tempName));
        if (!temp.valid()) {
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
    existing.close();
    std::wstring tempName;
    Handle temp(createTemporary(target, tempName));
    if (!temp.valid()) {
        DWORD code = GetLastError();
        if (code != ERROR_ACCESS_DENIED) {
            error = failure("cannot create", path, code);
            return false;
        }
        // A writable file in a folder that cannot take another one.
        Handle again(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!again.valid()) {
            error = failure("cannot write", path, GetLastError());
            return false;
        }
        return writeInPlace(again.get(), true, path, content, error);
    }
    return writeBeside(temp, tempName, target, true, path, content, error);
}

bool appendToFile(const std::string& path, const FileContent& content, uint64_t& offset,
                  std::string& error)
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
    if (fill(file.get(), disk, path, content, error))
        return true;
    if (disk && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN)) {
        SetEndOfFile(file.get());
        FlushFileBuffers(file.get());
    }
    return false;
}
