#include <cstdio>

#include "PortFactory.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

bool autoScan(Samba& samba, PortFactoryBase& portFactory, std::string& port)
{
    for (port = portFactory.begin(); port != portFactory.end(); port = portFactory.next()) {
        if (config.debug)
            printf("Trying to connect on %s\n", port.c_str());
        SerialPort::Ptr candidate = portFactory.create(port);
        if (samba.connect(std::move(candidate), 115200))
            return true;
    }
    return false;
}
