#include "InProcess.h"

#include <fcntl.h>
#include <getopt.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "Device.h"
#include "SambaXcon.h"
#include "SimPort.h"
#include "SimPortFactory.h"
#include "TarvoXcon.h"

namespace {

double cpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

InProcessFigures measureInProcess()
{
    InProcessFigures f;
    auto adapter = std::make_shared<SimAdapter>();
    Samba samba;
    if (!samba.connect(SerialPort::Ptr(new SimPort("BENCH", adapter))))
        return f;

    // One firmware image's worth of blocks for the larger chip.
    const uint32_t blocks = device::romSize(device::CHIP_256K) / device::BLOCK_SIZE;
    uint8_t block[device::BLOCK_SIZE];
    for (uint32_t i = 0; i < device::BLOCK_SIZE; i++)
        block[i] = static_cast<uint8_t>(i * 7);
    double start = cpuNow();
    for (uint32_t k = 0; k < blocks; k++) {
        samba.write(device::RAM_BASE, block, device::BLOCK_SIZE);
        samba.writeBuffer(device::RAM_BASE, device::FIRMWARE_BASE + k * device::BLOCK_SIZE,
                          device::BLOCK_SIZE);
    }
    f.perBlock = (cpuNow() - start) / blocks;

    // Sixteen setting-area dumps.
    const uint32_t words = 16 * device::SETTINGS_SIZE / 4;
    const uint32_t base = device::settingsBase(device::CHIP_256K);
    start = cpuNow();
    for (uint32_t k = 0; k < words; k++)
        samba.readWord(base + (k * 4) % device::SETTINGS_SIZE);
    f.perWord = (cpuNow() - start) / words;
    f.ok = true;
    return f;
}

double installCpuSeconds(const std::string& package)
{
    SimPortFactory factory;
    factory.addAdapter("SIM", std::make_shared<SimAdapter>());
    std::vector<std::string> args = {"tarvo", "-p", "SIM", "-f", package};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    // The run's dots and reports would only cost terminal time.
    fflush(stdout);
    fflush(stderr);
    int savedOut = dup(1), savedErr = dup(2);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    dup2(devNull, 2);
    optind = 0;
    double start = cpuNow();
    int status = tarvo_main(static_cast<int>(args.size()), argv.data(), factory);
    double cpu = cpuNow() - start;
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    close(devNull);
    return status == 0 ? cpu : -1;
}
