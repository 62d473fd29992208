#include "WinPortFactory.h"

#include <cstring>
#include <memory>
#include <vector>

#include "WinSerialPort.h"

namespace {

constexpr DWORD PORT_NAME_BYTES = 16;
constexpr DWORD DOS_TARGET_CHARS = 260;
const char USB_DEVICE_PREFIX[] = "\\Device\\USB";

// GetProcAddress hands back a generic function pointer; going through
// void (*)() tells the compiler the signature change is deliberate.
WinPortFactory::CM_Open_DevNode_Key toKeyOpener(FARPROC proc)
{
    return reinterpret_cast<WinPortFactory::CM_Open_DevNode_Key>(
        reinterpret_cast<void (*)()>(proc));
}

}  // namespace

WinPortFactory::WinPortFactory()
    : _devInfo(INVALID_HANDLE_VALUE), _cfgMgr(nullptr), _devNode(nullptr), _devNum(0)
{
}

WinPortFactory::~WinPortFactory()
{
    cleanup();
}

std::string WinPortFactory::begin()
{
    if (walking())
        cleanup();

    DWORD count = 0;
    SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &count);
    if (count == 0)
        return error();
    std::vector<GUID> classes(count);
    if (!SetupDiClassGuidsFromNameA("Ports", classes.data(), count, &count) || count == 0)
        return error();

    // Only the first class of that name is walked.
    _devInfo = SetupDiGetClassDevsA(&classes[0], nullptr, nullptr, DIGCF_PRESENT);
    if (!walking())
        return error();

    _cfgMgr = LoadLibraryA("cfgmgr32");
    if (_cfgMgr == nullptr)
        return error();
    _devNode = toKeyOpener(GetProcAddress(_cfgMgr, "CM_Open_DevNode_Key"));
    if (_devNode == nullptr)
        return error();

    return next();
}

std::string WinPortFactory::end()
{
    return std::string();
}

std::string WinPortFactory::next()
{
    if (!walking())
        return end();

    for (;;) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(_devInfo, static_cast<DWORD>(_devNum), &device))
            return error();

        // Some configuration managers report success without handing out a key.
        HKEY key = nullptr;
        if (_devNode(device.DevInst, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &key,
                     CM_REGISTRY_HARDWARE) != CR_SUCCESS ||
            key == nullptr)
            return error();

        char value[PORT_NAME_BYTES] = {};
        DWORD len = PORT_NAME_BYTES;
        const LONG status = RegQueryValueExA(key, "portname", nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(value), &len);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return error();

        ++_devNum;
        // A registry string need not end in NUL; never read past what was stored.
        const std::string name(value, strnlen(value, len < PORT_NAME_BYTES ? len : PORT_NAME_BYTES));
        if (name.compare(0, 3, "COM") == 0)
            return name;
    }
}

SerialPort::Ptr WinPortFactory::create(const std::string& name)
{
    char target[DOS_TARGET_CHARS] = {};
    const bool isUsb =
        QueryDosDeviceA(name.c_str(), target, DOS_TARGET_CHARS) != 0 &&
        strncmp(target, USB_DEVICE_PREFIX, sizeof(USB_DEVICE_PREFIX) - 1) == 0;
    return create(name, isUsb);
}

SerialPort::Ptr WinPortFactory::create(const std::string& name, bool isUsb)
{
    return std::make_unique<WinSerialPort>(name, isUsb);
}

void WinPortFactory::cleanup()
{
    _devNum = 0;
    _devNode = nullptr;
    if (_cfgMgr != nullptr) {
        FreeLibrary(_cfgMgr);
        _cfgMgr = nullptr;
    }
    if (walking()) {
        SetupDiDestroyDeviceInfoList(_devInfo);
        _devInfo = INVALID_HANDLE_VALUE;
    }
}

std::string WinPortFactory::error()
{
    cleanup();
    return end();
}
