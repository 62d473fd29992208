#include "TarvoXcon.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "SambaXcon.h"
#include "Usage.h"

TarvoConfig::TarvoConfig()
    : eeprom_read(false), eeprom_clear(false), eeprom_write(false), firmware_write(false),
      version(false), reset(false), force_update(false), help(false), port(false), debug(false),
      forceUsb(true)
{
}

TarvoConfig::~TarvoConfig() {}

TarvoConfig config;

Option opts[NUM_OPTS] = {
    {'f', "flash", &config.firmware_write, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Erase and update with firmware file"},
    {'u', "update", &config.eeprom_write, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Update adapter setting from file"},
    {'s', "save", &config.eeprom_read, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Save current adapter setting into file"},
    {'i', "info", &config.version, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Show the version of adapter"},
    {'I', "force", &config.force_update, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Force firmware update"},
    {'h', "help", &config.help, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Display this help text"},
    {'R', "reset", &config.reset, {ArgNone, ArgInt, nullptr, {nullptr}},
     "Power recycle adapter"},
    {'p', "port", &config.port, {ArgRequired, ArgString, "PORT", {&config.portArg}},
     "Use serial PORT to communicate to device;\ndefault behavior is to auto-scan all serial ports"},
};

uint8_t g_eeprom[G_EEPROM_SIZE];
uint32_t g_loader_addr;
uint32_t g_fw_total_size;

struct timeval start_time;

void timer_start()
{
    gettimeofday(&start_time, nullptr);
}

float timer_stop()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<float>((now.tv_sec - start_time.tv_sec) +
                              (now.tv_usec - start_time.tv_usec) / 1000000.0);
}

int help(const char* program)
{
    tryHelp(program, HelpHint::ShortAndLong);
    return 1;
}

namespace {

const char* const SUPPORT_CONTACT = "the tarvo issue tracker";

// The text after the last "/", or, only when there is none, after the last
// backslash.
const char* shortName(const char* path)
{
    if (const char* slash = strrchr(path, '/'))
        return slash + 1;
    if (const char* backslash = strrchr(path, '\\'))
        return backslash + 1;
    return path;
}

void printHelp(CmdOpts& cmd, const char* program)
{
    printf("Usage: %s [OPTION...] [FILE]\n", program);
    printf("Corvane Didir Avediro Firmware Updater 0.5\n\n\nExamples:\n"
           "  %s -i                     # Display the adapter info,\n"
           "  %s -R                     # Power cycle adapter,\n"
           "  %s -f qz-vrt-1.0.fw       # Erase and update adapter firmware with qz-vrt-1.0.fw file,\n"
           "  %s -u user.dat            # Update adapter setting with user.dat file,\n"
           "  %s -s user.dat            # Save current adapter setting into file user.dat\n",
           program, program, program, program, program);
    printf("\nOptions:\n");
    cmd.usage(stdout);
    printf("\nReport bugs/problems to %s\n", SUPPORT_CONTACT);
}

// Connects and runs the actions; returns the exit status. Exceptions pass
// through to the caller's handler.
int runActions(Samba& samba, PortFactoryBase& portFactory, const char* file)
{
    if (config.debug)
        samba.setDebug(true);

    uint32_t chipId = 0;
    if (!connectAdapter(samba, portFactory, config.port, config.portArg, chipId))
        return 1;

    int status = 0;
    bool restarted = false;
    if (config.version)
        infoReport(samba, chipId);
    if (config.eeprom_read) {
        if (settingSave(samba, file) != ActionResult::Done)
            status = 1;
    }
    if (config.eeprom_write) {
        ActionResult result = settingUpdate(samba, file, chipId);
        if (result == ActionResult::Abort)
            return 1;
        if (result == ActionResult::Failed)
            status = 1;
    }
    if (config.firmware_write) {
        ActionResult result = firmwareUpdate(samba, file, chipId, config.force_update, restarted);
        if (result == ActionResult::Abort)
            return 1;
        if (result == ActionResult::Failed)
            status = 1;
    }
    if (config.reset)
        powerCycle(samba, restarted);
    fflush(stdout);
    return status;
}

}  // namespace

void powerCycle(Samba& samba, bool restarted)
{
    // The update has just restarted the adapter; its monitor no longer
    // answers on this connection, so a power cycle could only fail.
    if (restarted)
        printf("Adapter restarted by the firmware update, power cycle skipped\n");
    else
        samba.reset();
}

int tarvo_main(int argc, char** argv, PortFactoryBase& portFactory)
{
    CmdOpts cmd(argc, argv, NUM_OPTS, opts);

    argv[0] = const_cast<char*>(shortName(argv[0]));
    const char* program = argv[0];

    if (argc < 2) {
        printf("Corvane Didir Avediro Firmware Updater 0.6\n\n");
        fflush(stdout);
        fprintf(stderr, "You must specify at least one option\n");
        return help(program);
    }

    int args = cmd.parse();
    if (args < 0)
        return help(program);

    memset(g_eeprom, 0xFF, sizeof(g_eeprom));

    if (config.eeprom_read && (config.eeprom_write || config.eeprom_clear)) {
        fprintf(stderr, "%s: eeprom read option is exclusive of write or clear\n", program);
        return help(program);
    }
    // All three actions share the one file operand: a save would overwrite
    // the package, an update would install the package's first 4 KB.
    if (config.firmware_write && (config.eeprom_read || config.eeprom_write)) {
        fprintf(stderr, "%s: firmware update option is exclusive of setting save or update\n",
                program);
        return help(program);
    }
    bool fileAction = config.eeprom_read || config.eeprom_write || config.firmware_write;
    if (fileAction && args == argc) {
        fprintf(stderr, "%s: missing file\n", program);
        return help(program);
    }
    if (argc - args > (fileAction ? 1 : 0)) {
        fprintf(stderr, "%s: extra arguments found\n", program);
        return help(program);
    }
    if (config.help) {
        printHelp(cmd, program);
        return 1;
    }

    const char* file = fileAction ? argv[args] : nullptr;
    return runReportingFailures([&] {
        Samba samba;
        return runActions(samba, portFactory, file);
    });
}

int runReportingFailures(const std::function<int()>& run)
{
    try {
        return run();
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "\n%s\n", e.what());
    } catch (...) {
        fflush(stdout);
        fprintf(stderr, "\nUnhandled exception\n");
    }
    return 1;
}
