// Stand-in for the Win32 API on Linux: exactly the functions and types the
// Windows port uses. Every call is logged; results come from a script the
// test sets up.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using ULONG_PTR = uintptr_t;

using HANDLE = void*;
using HDEVINFO = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using FARPROC = intptr_t(WINAPI*)();

using DEVINST = DWORD;
using REGSAM = DWORD;
using REGDISPOSITION = ULONG;
using CONFIGRET = DWORD;

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MAXDWORD = 0xFFFFFFFF;
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD DIGCF_PRESENT = 0x2;
constexpr REGSAM KEY_QUERY_VALUE = 0x1;
constexpr REGDISPOSITION RegDisposition_OpenExisting = 0x1;
constexpr ULONG CM_REGISTRY_HARDWARE = 0x0;
constexpr CONFIGRET CR_SUCCESS = 0x0;
constexpr LONG ERROR_SUCCESS = 0;

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                   SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, DCB* dcb);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               OVERLAPPED* overlapped);
BOOL CloseHandle(HANDLE object);
void Sleep(DWORD milliseconds);

BOOL SetupDiClassGuidsFromNameA(const char* className, GUID* guids, DWORD size, DWORD* required);
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                              DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO devInfo, DWORD index, SP_DEVINFO_DATA* data);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO devInfo);

HMODULE LoadLibraryA(const char* fileName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LONG RegCloseKey(HKEY key);

DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max);

namespace win32double {

constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;

// One ReadFile: a failure, or these bytes (none: a whole window passed empty).
// A step longer than the request leaves its rest for the next call.
struct ReadStep {
    bool ok;
    std::string bytes;
};

// A present device of the "Ports" class, in set order.
struct Device {
    std::string portName;              // the stored value, NUL included when wanted
    CONFIGRET openResult = CR_SUCCESS; // what CM_Open_DevNode_Key answers
    bool nullKey = false;              // "success" without a key
    LONG queryResult = ERROR_SUCCESS;  // forced failure of RegQueryValueExA
};

// A device whose port-name value is the text and its terminating NUL.
Device port(const std::string& name);

struct Script {
    bool createOk = true;
    bool getCommStateOk = true;
    DCB commState = {};  // what GetCommState hands back
    bool setCommStateOk = true;
    bool setTimeoutsOk = true;
    std::deque<ReadStep> reads;     // when empty, every read times out with nothing
    std::deque<long> writeResults;  // -1 fails; otherwise the count reported; empty: all

    int portClasses = 1;            // "Ports" classes the first count call reports
    bool classGuidsOk = true;       // the second call, which fills the array
    bool classDevsOk = true;
    bool loadLibraryOk = true;
    bool procAddressOk = true;
    std::vector<Device> devices;
    std::map<std::string, std::string> dosDevices;  // name -> kernel device path
};

struct Record {
    std::vector<std::string> calls;           // one line per call, arguments included
    std::vector<DCB> commStates;              // blocks handed to SetCommState
    std::vector<COMMTIMEOUTS> timeouts;       // blocks handed to SetCommTimeouts
    std::string written;                      // every byte WriteFile accepted
    std::vector<std::string> misuse;          // calls on handles not live, and the like
    int liveHandles = 0;
    int liveKeys = 0;
    int liveLibraries = 0;
    int liveDeviceLists = 0;
};

extern Script g_script;
extern Record g_record;

// Back to an empty script and record.
void reset();

// Calls whose line starts with the given function name.
std::vector<std::string> callsTo(const std::string& function);

}  // namespace win32double
