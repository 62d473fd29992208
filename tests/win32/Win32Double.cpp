#include "Win32Double.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace win32double {

Script g_script;
Record g_record;

namespace {

// Values handed out, by kind, so that a stale or foreign one is caught.
struct Pool {
    uintptr_t base;
    std::set<uintptr_t> live;
    uintptr_t issued = 0;
};

Pool g_ports{0x1000, {}};
Pool g_lists{0x2000, {}};
Pool g_libraries{0x3000, {}};
Pool g_keys{0x4000, {}};
std::map<uintptr_t, size_t> g_keyDevice;  // key -> index of the device it was opened for

constexpr DEVINST DEVINST_BASE = 100;
int g_emptyReads = 0;

uintptr_t issue(Pool& pool, int& counter)
{
    const uintptr_t value = pool.base + ++pool.issued;
    pool.live.insert(value);
    ++counter;
    return value;
}

bool isLive(const Pool& pool, const void* value, const char* function)
{
    if (pool.live.count(reinterpret_cast<uintptr_t>(value)))
        return true;
    g_record.misuse.push_back(std::string(function) + " on a value not live");
    return false;
}

bool release(Pool& pool, const void* value, int& counter, const char* function)
{
    if (!isLive(pool, value, function))
        return false;
    pool.live.erase(reinterpret_cast<uintptr_t>(value));
    --counter;
    return true;
}

std::string label(const char* kind, const void* value, uintptr_t base)
{
    if (value == nullptr)
        return "null";
    const uintptr_t raw = reinterpret_cast<uintptr_t>(value);
    if (raw < base || raw >= base + 0x1000)
        return std::string(kind) + "?";
    return kind + std::to_string(raw - base);
}

std::string portLabel(HANDLE h) { return label("h", h, g_ports.base); }
std::string listLabel(HDEVINFO d) { return label("list", d, g_lists.base); }
std::string libraryLabel(HMODULE m) { return label("lib", m, g_libraries.base); }
std::string keyLabel(HKEY k) { return label("key", k, g_keys.base); }

std::string text(const char* s) { return s ? s : "null"; }
std::string ptr(const void* p) { return p ? "ptr" : "null"; }
std::string hex(DWORD v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

void log(const std::string& line) { g_record.calls.push_back(line); }

CONFIGRET WINAPI openDevNodeKey(DEVINST devInst, REGSAM access, ULONG profile,
                                REGDISPOSITION disposition, PHKEY key, ULONG flags)
{
    log("CM_Open_DevNode_Key(" + std::to_string(devInst) + "," + std::to_string(access) + "," +
        std::to_string(profile) + "," + std::to_string(disposition) + "," + ptr(key) + "," +
        std::to_string(flags) + ")");
    const size_t index = devInst - DEVINST_BASE;
    if (index >= g_script.devices.size()) {
        g_record.misuse.push_back("CM_Open_DevNode_Key on an unknown device");
        return CR_NO_SUCH_VALUE;
    }
    const Device& device = g_script.devices[index];
    if (device.openResult != CR_SUCCESS || device.nullKey)
        return device.openResult;
    const uintptr_t issued = issue(g_keys, g_record.liveKeys);
    g_keyDevice[issued] = index;
    *key = reinterpret_cast<HKEY>(issued);
    return CR_SUCCESS;
}

}  // namespace

Device port(const std::string& name)
{
    Device device;
    device.portName = name + '\0';
    return device;
}

void reset()
{
    g_script = Script();
    g_record = Record();
    for (Pool* pool : {&g_ports, &g_lists, &g_libraries, &g_keys}) {
        pool->live.clear();
        pool->issued = 0;
    }
    g_keyDevice.clear();
    g_emptyReads = 0;
}

std::vector<std::string> callsTo(const std::string& function)
{
    std::vector<std::string> out;
    for (const std::string& call : g_record.calls)
        if (call.compare(0, function.size() + 1, function + "(") == 0)
            out.push_back(call);
    return out;
}

}  // namespace win32double

using namespace win32double;

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                   SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile)
{
    log("CreateFileA(" + text(fileName) + "," + hex(access) + "," + std::to_string(shareMode) +
        "," + ptr(security) + "," + std::to_string(disposition) + "," + hex(flags) + "," +
        ptr(templateFile) + ")");
    if (!g_script.createOk)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(issue(g_ports, g_record.liveHandles));
}

BOOL GetCommState(HANDLE file, DCB* dcb)
{
    log("GetCommState(" + portLabel(file) + "," + std::to_string(dcb->DCBlength) + ")");
    if (!isLive(g_ports, file, "GetCommState") || !g_script.getCommStateOk)
        return FALSE;
    const DWORD length = dcb->DCBlength;
    *dcb = g_script.commState;
    dcb->DCBlength = length;
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB* dcb)
{
    log("SetCommState(" + portLabel(file) + ")");
    if (!isLive(g_ports, file, "SetCommState"))
        return FALSE;
    g_record.commStates.push_back(*dcb);
    return g_script.setCommStateOk ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts)
{
    log("SetCommTimeouts(" + portLabel(file) + ")");
    if (!isLive(g_ports, file, "SetCommTimeouts"))
        return FALSE;
    g_record.timeouts.push_back(*timeouts);
    return g_script.setTimeoutsOk ? TRUE : FALSE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped)
{
    log("ReadFile(" + portLabel(file) + "," + std::to_string(toRead) + "," + ptr(overlapped) +
        ")");
    *read = 0;
    if (!isLive(g_ports, file, "ReadFile"))
        return FALSE;
    if (g_script.reads.empty()) {
        // A caller that keeps reading into silence would never return.
        if (++g_emptyReads > 1000) {
            g_record.misuse.push_back("ReadFile keeps being called after empty windows");
            return FALSE;
        }
        return TRUE;
    }
    g_emptyReads = 0;
    ReadStep step = g_script.reads.front();
    g_script.reads.pop_front();
    if (!step.ok)
        return FALSE;
    const size_t count = std::min<size_t>(toRead, step.bytes.size());
    memcpy(buffer, step.bytes.data(), count);
    *read = static_cast<DWORD>(count);
    if (count < step.bytes.size())
        g_script.reads.push_front({true, step.bytes.substr(count)});
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               OVERLAPPED* overlapped)
{
    log("WriteFile(" + portLabel(file) + "," + std::to_string(toWrite) + "," + ptr(overlapped) +
        ")");
    *written = 0;
    if (!isLive(g_ports, file, "WriteFile"))
        return FALSE;
    long result = static_cast<long>(toWrite);
    if (!g_script.writeResults.empty()) {
        result = g_script.writeResults.front();
        g_script.writeResults.pop_front();
    }
    if (result < 0)
        return FALSE;
    const DWORD count = std::min<DWORD>(toWrite, static_cast<DWORD>(result));
    g_record.written.append(static_cast<const char*>(buffer), count);
    *written = count;
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    log("CloseHandle(" + portLabel(object) + ")");
    return release(g_ports, object, g_record.liveHandles, "CloseHandle") ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds)
{
    log("Sleep(" + std::to_string(milliseconds) + ")");
}

BOOL SetupDiClassGuidsFromNameA(const char* className, GUID* guids, DWORD size, DWORD* required)
{
    log("SetupDiClassGuidsFromNameA(" + text(className) + "," + ptr(guids) + "," +
        std::to_string(size) + ")");
    const DWORD count =
        std::string(text(className)) == "Ports" ? static_cast<DWORD>(g_script.portClasses) : 0;
    *required = count;
    if (size < count || (guids == nullptr && size != 0))
        return FALSE;
    if (guids != nullptr && !g_script.classGuidsOk)
        return FALSE;
    for (DWORD i = 0; i < count; ++i)
        guids[i] = GUID{0x4d36e978 + i, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                              DWORD flags)
{
    log("SetupDiGetClassDevsA(" + (classGuid ? hex(classGuid->Data1) : "null") + "," +
        text(enumerator) + "," + ptr(parent) + "," + std::to_string(flags) + ")");
    if (!g_script.classDevsOk)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HDEVINFO>(issue(g_lists, g_record.liveDeviceLists));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO devInfo, DWORD index, SP_DEVINFO_DATA* data)
{
    log("SetupDiEnumDeviceInfo(" + listLabel(devInfo) + "," + std::to_string(index) + ")");
    if (!isLive(g_lists, devInfo, "SetupDiEnumDeviceInfo"))
        return FALSE;
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        g_record.misuse.push_back("SetupDiEnumDeviceInfo with a wrong cbSize");
        return FALSE;
    }
    if (index >= g_script.devices.size())
        return FALSE;
    data->DevInst = DEVINST_BASE + index;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO devInfo)
{
    log("SetupDiDestroyDeviceInfoList(" + listLabel(devInfo) + ")");
    return release(g_lists, devInfo, g_record.liveDeviceLists, "SetupDiDestroyDeviceInfoList")
               ? TRUE
               : FALSE;
}

HMODULE LoadLibraryA(const char* fileName)
{
    log("LoadLibraryA(" + text(fileName) + ")");
    if (!g_script.loadLibraryOk)
        return nullptr;
    return reinterpret_cast<HMODULE>(issue(g_libraries, g_record.liveLibraries));
}

FARPROC GetProcAddress(HMODULE module, const char* procName)
{
    log("GetProcAddress(" + libraryLabel(module) + "," + text(procName) + ")");
    if (!isLive(g_libraries, module, "GetProcAddress") || !g_script.procAddressOk ||
        std::string(text(procName)) != "CM_Open_DevNode_Key")
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&openDevNodeKey));
}

BOOL FreeLibrary(HMODULE module)
{
    log("FreeLibrary(" + libraryLabel(module) + ")");
    return release(g_libraries, module, g_record.liveLibraries, "FreeLibrary") ? TRUE : FALSE;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize)
{
    log("RegQueryValueExA(" + keyLabel(key) + "," + text(valueName) + "," + ptr(reserved) + "," +
        ptr(type) + "," + (dataSize ? std::to_string(*dataSize) : "null") + ")");
    if (!isLive(g_keys, key, "RegQueryValueExA"))
        return ERROR_FILE_NOT_FOUND;
    const Device& device = g_script.devices.at(g_keyDevice.at(reinterpret_cast<uintptr_t>(key)));
    if (device.queryResult != ERROR_SUCCESS)
        return device.queryResult;
    if (std::string(text(valueName)) != "portname")
        return ERROR_FILE_NOT_FOUND;
    const DWORD needed = static_cast<DWORD>(device.portName.size());
    if (needed > *dataSize) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    memcpy(data, device.portName.data(), needed);
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    log("RegCloseKey(" + keyLabel(key) + ")");
    return release(g_keys, key, g_record.liveKeys, "RegCloseKey") ? ERROR_SUCCESS
                                                                  : ERROR_FILE_NOT_FOUND;
}

DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max)
{
    log("QueryDosDeviceA(" + text(deviceName) + "," + std::to_string(max) + ")");
    const auto found = g_script.dosDevices.find(text(deviceName));
    if (found == g_script.dosDevices.end())
        return 0;
    // The answer is a list of NUL-terminated strings ending in an empty one.
    const std::string& path = found->second;
    if (path.size() + 2 > max)
        return 0;
    memcpy(targetPath, path.c_str(), path.size() + 1);
    targetPath[path.size() + 1] = '\0';
    return static_cast<DWORD>(path.size() + 2);
}
