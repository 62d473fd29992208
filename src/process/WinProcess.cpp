#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>

#include "process/Process.h"

namespace {

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
    return out;
}

// One argument quoted as the C runtime's command-line parser splits it back.
void appendQuoted(std::wstring& line, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::string systemError(const char* what)
{
    return std::string(what) + ": error " + std::to_string(GetLastError());
}

// 100-nanosecond units.
double ticks(const FILETIME& t)
{
    return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

class WinProcess : public Process {
public:
    WinProcess(HANDLE process, HANDLE out) : _process(process), _out(out) {}

    ~WinProcess() override
    {
        if (!_ended) {
            TerminateProcess(_process, 1);
            wait();
        }
        if (_out != INVALID_HANDLE_VALUE)
            CloseHandle(_out);
        CloseHandle(_process);
    }

    bool read(std::string& out) override
    {
        if (_out == INVALID_HANDLE_VALUE)
            return false;
        char buffer[4096];
        DWORD got = 0;
        if (ReadFile(_out, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            out.append(buffer, got);
            return true;
        }
        CloseHandle(_out);
        _out = INVALID_HANDLE_VALUE;
        return false;
    }

    bool read(std::string& out, int waitMs) override
    {
        // An anonymous pipe cannot be waited on: look until the time is up.
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMs < 0 ? 0 : waitMs);
        while (_out != INVALID_HANDLE_VALUE) {
            DWORD ready = 0;
            if (!PeekNamedPipe(_out, nullptr, 0, nullptr, &ready, nullptr) || ready > 0)
                return read(out);
            if (GetTickCount64() >= deadline)
                return true;
            Sleep(2);
        }
        return false;
    }

    bool ended(int waitMs) override
    {
        return _ended ||
               WaitForSingleObject(_process, static_cast<DWORD>(waitMs < 0 ? 0 : waitMs)) ==
                   WAIT_OBJECT_0;
    }

    long id() const override { return static_cast<long>(GetProcessId(_process)); }

    ProcessEnd wait() override
    {
        if (_ended)
            return _end;
        WaitForSingleObject(_process, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(_process, &code);
        _ended = true;
        if (_terminated) {
            _end.how = "terminated";
        } else if (code >= 0xC0000000u) {
            // An exception code: the child crashed.
            char text[40];
            snprintf(text, sizeof(text), "crashed (0x%08lX)", static_cast<unsigned long>(code));
            _end.how = text;
        } else {
            _end.exited = true;
            _end.status = static_cast<int>(code);
            _end.how = "exit status " + std::to_string(code);
        }
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(_process, &created, &exited, &kernel, &user))
            _end.cpuSeconds = (ticks(kernel) + ticks(user)) / 1e7;
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof(memory);
        if (K32GetProcessMemoryInfo(_process, &memory, sizeof(memory)))
            _end.peakKb = static_cast<long>(memory.PeakWorkingSetSize / 1024);
        return _end;
    }

    void terminate() override
    {
        if (!_ended && TerminateProcess(_process, 1))
            _terminated = true;
    }

private:
    HANDLE _process;
    HANDLE _out;
    std::atomic<bool> _ended{false};
    std::atomic<bool> _terminated{false};
    ProcessEnd _end;
};

}  // namespace

Process::Ptr startProcess(const std::vector<std::string>& argv, const std::string& errPath,
                          std::string& error)
{
    if (argv.empty()) {
        error = "no program";
        return nullptr;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = INVALID_HANDLE_VALUE, writeEnd = INVALID_HANDLE_VALUE;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = systemError("CreatePipe");
        return nullptr;
    }
    // Only the child's end is inherited.
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    HANDLE nullIn = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
    HANDLE err = CreateFileW(errPath.empty() ? L"NUL" : widen(errPath).c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);

    std::wstring line;
    for (size_t i = 0; i < argv.size(); i++) {
        if (i)
            line += L' ';
        appendQuoted(line, widen(argv[i]));
    }
    std::wstring program = widen(argv[0]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullIn;
    startup.hStdOutput = writeEnd;
    startup.hStdError = err;
    PROCESS_INFORMATION info = {};
    // A process group and a (hidden) console of its own: neither the
    // console's Ctrl-C nor the closing of the parent's window ends it.
    BOOL made = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                               CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &info);
    if (!made)
        error = argv[0] + ": " + systemError("CreateProcessW");
    CloseHandle(writeEnd);
    if (nullIn != INVALID_HANDLE_VALUE)
        CloseHandle(nullIn);
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    if (!made) {
        CloseHandle(readEnd);
        return nullptr;
    }
    CloseHandle(info.hThread);
    return Process::Ptr(new WinProcess(info.hProcess, readEnd));
}

std::string selfPath(const char* argv0)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return argv0 ? argv0 : "";
        if (n < path.size()) {
            path.resize(n);
            return narrow(path);
        }
        path.resize(path.size() * 2);
    }
}
