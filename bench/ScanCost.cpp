#include "ScanCost.h"

#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/PosixFd.h"
#include "PosixPortFactory.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"
#include "TempDir.h"

namespace fs = std::filesystem;

double scanSecondsPerPort(bool usb, int ports)
{
    TempDir root;
    // A USB port's device sits below a directory that carries idVendor.
    fs::path usbDevice = fs::path(root.path()) / "devices/usb1/1-1";
    fs::path device =
        usb ? usbDevice / "1-1:1.0" : fs::path(root.path()) / "devices/platform/serial";
    std::error_code ec;
    fs::create_directories(device, ec);
    std::ofstream(usbDevice / "idVendor") << "03eb\n";

    std::vector<PosixFd> lines;
    for (int i = 0; i < ports; i++) {
        int master, slave;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return -1;
        lines.emplace_back(master);
        lines.emplace_back(slave);
        fs::path tty = fs::path(ttyname(slave));
        if (tty.parent_path() != "/dev/pts")
            return -1;
        fs::path entry = fs::path(root.path()) / "tty" / tty.filename();
        fs::create_directories(entry, ec);
        fs::create_directory_symlink(device, entry / "device", ec);
    }

    PosixPortFactory factory((fs::path(root.path()) / "tty").string(), "/dev/pts");
    int listed = 0;
    for (std::string name = factory.begin(); name != factory.end(); name = factory.next())
        listed += factory.create(name)->isUsb() == usb;
    if (listed != ports)
        return -1;

    Samba samba;
    std::string port;
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    bool found = autoScan(samba, factory, port);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return found ? -1 : seconds / ports;
}
