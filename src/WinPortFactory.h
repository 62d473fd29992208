// Lists the present devices of the "Ports" setup class and makes Win32 ports.
#pragma once

#include <string>

#include "PortFactory.h"
#include "files/WinApi.h"

class WinPortFactory : public PortFactoryBase {
public:
    // The configuration manager's key opener, taken from "cfgmgr32" at run
    // time so the program does not need its import library.
    using CM_Open_DevNode_Key = CONFIGRET(WINAPI*)(DEVINST, REGSAM, ULONG, REGDISPOSITION, PHKEY,
                                                   ULONG);

    WinPortFactory();
    ~WinPortFactory() override;

    std::string begin() override;
    std::string end() override;
    std::string next() override;
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;

    void cleanup();

private:
    // Ends the walk; the common exit on every failure and at the end of the list.
    std::string error();
    bool walking() const { return _devInfo != INVALID_HANDLE_VALUE; }

    HDEVINFO _devInfo;
    HINSTANCE _cfgMgr;
    CM_Open_DevNode_Key _devNode;
    int _devNum;
};
