#include <cstdio>

#include "Device.h"
#include "PortFactory.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

bool connectAdapter(Samba& samba, PortFactoryBase& portFactory, bool named,
                    const std::string& portName, uint32_t& chipId)
{
    if (named) {
        fprintf(stderr, "Try to open USB device ... ");
        SerialPort::Ptr port = portFactory.create(portName, true);
        if (!samba.connect(std::move(port), 115200)) {
            fprintf(stderr, "No device found on %s\n", portName.c_str());
            if (portFactory.accessDenied(portName))
                fprintf(stderr,
                        "Permission denied: add your user to the 'dialout' group (or the group "
                        "that owns %s) and log in again\n",
                        portName.c_str());
            return false;
        }
    } else {
        fprintf(stderr, "Try to scan USB devices ... ");
        std::string name;
        if (!autoScan(samba, portFactory, name)) {
            fprintf(stderr, "Auto scan for device failed\n");
            fprintf(stderr, "Try specifying a serial port with the '-p' option\n");
            return false;
        }
        printf("Corvane adapter found on %s\n", name.c_str());
    }

    chipId = samba.chipId();
    if (!device::isSupportedChip(chipId)) {
        fprintf(stderr, "Hardware failuser, ID %08x is not supported\n", chipId);
        return false;
    }
    return true;
}
