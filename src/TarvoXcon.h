// The program driver and what it shares with the maintenance actions.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <string>

#include "CmdOpts.h"
#include "EepromBuffer.h"

class Samba;
struct PackageTarget;
class PortFactoryBase;
class Progress;

class TarvoConfig {
public:
    TarvoConfig();
    virtual ~TarvoConfig();

    bool eeprom_read;
    bool eeprom_clear;
    bool eeprom_write;
    bool firmware_write;
    bool version;
    bool reset;
    bool force_update;
    bool help;
    bool port;
    bool debug;
    bool forceUsb;
    std::string portArg;
};

extern TarvoConfig config;
constexpr int NUM_OPTS = 8;
extern Option opts[NUM_OPTS];

// Start and length of the flash region the current action works on.
extern uint32_t g_loader_addr;
extern uint32_t g_fw_total_size;

// Action timer.
extern struct timeval start_time;
void timer_start();
float timer_stop();

// The hint line that ends every usage error; returns 1.
int help(const char* program);

// The whole run over the given port factory; returns the exit status.
int tarvo_main(int argc, char** argv, PortFactoryBase& portFactory);

// Runs body; an exception that escapes it is reported on stderr and gives 1.
int runReportingFailures(const std::function<int()>& body);

// Tries every port of the factory's walk until the client connects.
bool autoScan(Samba& samba, PortFactoryBase& portFactory, std::string& port);

// Connects on the named port, or by the scan when none is named, printing the
// connection messages, and checks the chip. False (reported) when no
// supported adapter answered; the caller's exit status is then 1.
bool connectAdapter(Samba& samba, PortFactoryBase& portFactory, bool named,
                    const std::string& portName, uint32_t& chipId);

// How an action ended, as the driver needs to know it.
enum class ActionResult {
    Done,     // ran to its end
    Failed,   // reported a failure; the run goes on but ends with status 1
    Abort,    // the run ends now with status 1
};

void infoReport(Samba& samba, uint32_t chipId);
// The report's lines without its timing, handed over one or more at a time
// as they are read, so that a failing read leaves the earlier lines shown.
void infoLines(Samba& samba, uint32_t chipId, const std::function<void(const std::string&)>& line);
// The eight serial-number characters of the words at 0xFF8 and 0xFFC.
std::string serialText(uint32_t serialLo, uint32_t serialHi);
// -s; progress none: printed as tarvo prints it.
ActionResult settingSave(Samba& samba, const char* file, Progress* progress = nullptr);
ActionResult settingUpdate(Samba& samba, const char* file, uint32_t chipId);
// -u's writing half: erases the setting area, writes the 4096-byte image and
// reads it back, telling progress (none: printed as -u does). stop is asked
// before each block.
enum class AreaWrite { Done, Differs, Stopped };
AreaWrite writeSettingArea(Samba& samba, const uint8_t* image, uint32_t chipId,
                           const std::function<bool()>& stop = {}, Progress* progress = nullptr);
// -R: power-cycles the adapter, unless an update has just restarted it.
void powerCycle(Samba& samba, bool restarted);
// What the package walk matches for this adapter, from its identity word.
PackageTarget packageTarget(Samba& samba, uint32_t chipId);
// restarted tells whether the adapter was restarted (warm or hard).
ActionResult firmwareUpdate(Samba& samba, const char* file, uint32_t chipId, bool force,
                            bool& restarted);
