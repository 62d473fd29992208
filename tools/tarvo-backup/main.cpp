// tarvo-backup: saves, verifies and restores the whole adapter.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "fleet/AdapterSelect.h"
#include "backup/Backup.h"
#include "files/FileReplace.h"
#include "PlatformPortFactory.h"
#include "SambaXcon.h"
#include "TerminalReport.h"
#include "TextEscape.h"
#include "TarvoXcon.h"
#include "Usage.h"
#include "backup/AdapterCheck.h"

namespace {

const char* const PROGRAM = "tarvo-backup";

const char* const HELP_TEXT =
    "Usage: tarvo-backup [-p PORT] [-R] [OPTION...] COMMAND ARGUMENT\n"
    "       tarvo-backup [-p PORT] [--report=FILE] check [PACKAGE]\n"
    "Saves the whole adapter, checks it against a backup, and puts a backup back.\n"
    "\n"
    "Commands:\n"
    "  save DIR        Read the firmware region and the setting area (each read\n"
    "                  once when the adapter's checksum confirms it, else until\n"
    "                  two reads agree) and make DIR (a new or empty\n"
    "                  folder, or with --replace one holding a backup) hold:\n"
    "                    firmware.pkg  a package that 'tarvo -f' installs on this adapter\n"
    "                    settings.dat  the setting area, as 'tarvo -s' saves it\n"
    "                    adapter.txt   the information report, chip, serial number,\n"
    "                                  board version, type, the adapter's checksums\n"
    "                                  and the formula they confirmed, and each\n"
    "                                  file's size and SHA-256\n"
    "                  The backup is written into a new folder beside DIR and put in\n"
    "                  place whole at the end: a failed or interrupted save leaves\n"
    "                  DIR as it was. Never writes to the adapter.\n"
    "  verify DIR      Check the files against adapter.txt, then compare the adapter\n"
    "                  with the backup: the firmware region and the setting area byte\n"
    "                  by byte (each read as save reads it), and the adapter's\n"
    "                  checksum of the firmware with the one recorded at the save. A\n"
    "                  backup of another adapter is named as such. Reads only.\n"
    "  verify FILE     Compare the adapter with the package of FILE that 'tarvo -f'\n"
    "                  would install, by the adapter's checksum. Reads only.\n"
    "                  verify prints \"firmware: matches\" or \"firmware: differs\" (and\n"
    "                  \"settings: matches\" or \"settings: differ in N bytes\") and exits\n"
    "                  0 only when everything matches.\n"
    "  restore DIR     Put a backup back on the adapter it was saved from. Everything\n"
    "                  is checked before the first erase: the files against\n"
    "                  adapter.txt, the package as 'tarvo -f' checks it (and that it\n"
    "                  keeps the setting area), the settings image, the adapter's\n"
    "                  chip, serial number, board version and type. Then the firmware\n"
    "                  as 'tarvo -f' installs it, then the settings as 'tarvo -u'\n"
    "                  writes them, then one restart. Exits 0 only when both\n"
    "                  verified. After a failure or Ctrl-C it says what the adapter\n"
    "                  holds; running the same restore again puts the backup back.\n"
    "                  A backup noted as from a monitor that changes what it is sent\n"
    "                  gets its settings back, and its firmware is refused before\n"
    "                  any erase.\n"
    "  check [PACKAGE] Find out, reading only, whether backups of this adapter can be\n"
    "                  restored: the checksum formula its monitor uses, and, given the\n"
    "                  maker's PACKAGE of the firmware it runs, whether the monitor\n"
    "                  stores firmware exactly as sent. Exits 0 when backups restore,\n"
    "                  1 when they cannot, 2 on a usage error, 3 when it cannot tell.\n"
    "\n"
    "Options:\n"
    "  -p, --port=PORT  Use serial PORT to communicate to device;\n"
    "                   default behavior is to auto-scan all serial ports\n"
    "  -R, --reset      Power recycle adapter at the end (not after a refusal, a\n"
    "                   failure or an interruption)\n"
    "      --serial=SN  take the adapter with serial number SN (the scan then\n"
    "                   passes every other one by); without -p or --serial and\n"
    "                   with more than one adapter attached, nothing is done\n"
    "      --replace    save: replace the backup DIR holds\n"
    "      --other-adapter\n"
    "                   restore: onto an adapter with another serial number or\n"
    "                   board version (never another chip or type)\n"
    "      --package=FILE\n"
    "                   save: compare the firmware read with the maker's package\n"
    "                   FILE of the firmware the adapter runs, and note in\n"
    "                   adapter.txt a monitor that changes what it is sent\n"
    "      --report=FILE\n"
    "                   check: write the findings to FILE, to attach to a bug report\n"
    "      --with-serial\n"
    "                   check: put the serial number in the report too\n"
    "      --any-type   verify FILE and restore: take an adapter of an unknown\n"
    "                   type, as 'tarvo -I'\n"
    "  -h, --help       Display this help text\n"
    "      --version    Display the version\n"
    "\n"
    "Exit status: 0 on success; 1 otherwise (also when no adapter is found);\n"
    "130 when ended by Ctrl-C (143 by SIGTERM, 129 by SIGHUP).\n";

int g_usageStatus = 1;

int usageError(const char* message)
{
    return reportUsageError(PROGRAM, message, HelpHint::ShortAndLong, g_usageStatus);
}

struct Request {
    bool named = false;
    std::string port;
    std::string serial;
    std::string ports;  // patterns walked instead of the machine's ports
    bool reset = false;
    backup::Options options;
    std::string reportFile;
    bool withSerial = false;
    std::string command;
    std::string argument;
};

// The first SIGINT, SIGTERM or SIGHUP (the terminal closed) asks the
// procedure to stop between blocks, with the adapter in a state it can name;
// a second one ends the program.
volatile std::sig_atomic_t g_signal = 0;

extern "C" void onStopSignal(int sig)
{
    if (g_signal != 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    g_signal = sig;
}

class StoppableReport : public TerminalReport {
public:
    bool stopRequested() override { return g_signal != 0; }
};

// The check's exit status: 0, 1 or 3 from its finding; a report that
// cannot be written makes it 3, the findings having been shown.
// Set once the check has an answer: before it, no adapter or a failing one
// means it could not tell.
int g_checkStatus = -1;

int runCheck(Samba& samba, uint32_t chipId, const Request& request, backup::Report& report)
{
    const backup::CheckResult result = backup::checkAdapter(
        samba, chipId, request.argument, request.options.anyType, report);
    if (!request.reportFile.empty()) {
        const std::string text = backup::checkReportText(result, request.withSerial);
        std::string error;
        if (!writeFileAtomically(request.reportFile,
                                 reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                 error)) {
            report.text("Failed to write the report: " + escapeControls(error) + "\n");
            return g_checkStatus = 3;
        }
        report.text("Report written to " + escapeControls(request.reportFile) + "\n");
    }
    return g_checkStatus = backup::checkExitStatus(result.finding);
}

int run(const Request& request, PortFactoryBase& portFactory)
{
    Samba samba;
    uint32_t chipId = 0;
    if (!request.named && !request.serial.empty()) {
        std::string port;
        if (!connectBySerial(samba, portFactory, request.serial, port, chipId)) {
            fprintf(stderr, "%s: no adapter with serial number %s found\n", PROGRAM,
                    request.serial.c_str());
            return 1;
        }
        printf("Adapter %s on %s\n", request.serial.c_str(), port.c_str());
    } else {
        if (!request.named) {
            // With two adapters attached, the first the scan meets is a guess:
            // a restore onto the wrong one would be refused at best.
            const std::vector<AdapterInfo> found = findAdapters(portFactory);
            if (found.size() > 1) {
                fprintf(stderr, "%s: %zu adapters attached; name one with -p or --serial:\n",
                        PROGRAM, found.size());
                for (const AdapterInfo& a : found)
                    fprintf(stderr, "  --serial=%s  (%s)\n", a.serial.c_str(), a.port.c_str());
                return 1;
            }
        }
        if (!connectAdapter(samba, portFactory, request.named, request.port, chipId))
            return 1;
    }

    // Only from here: until the adapter answers, Ctrl-C ends the run at once.
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#if defined(SIGHUP)
    std::signal(SIGHUP, onStopSignal);
#endif
    StoppableReport report;
    if (request.command == "check")
        return runCheck(samba, chipId, request, report);
    backup::Outcome outcome;
    bool restarted = false;
    if (request.command == "save")
        outcome = backup::save(samba, chipId, request.argument, request.options, report);
    else if (request.command == "verify")
        outcome = backup::verify(samba, chipId, request.argument, request.options, report);
    else
        outcome = backup::restore(samba, chipId, request.argument, request.options, report,
                                  restarted);

    // A refused, failed or interrupted command leaves the adapter as it
    // stands, in its boot monitor, for the user to look at or run again.
    if (request.reset && (outcome == backup::Outcome::Done || outcome == backup::Outcome::Differs))
        powerCycle(samba, restarted);
    fflush(stdout);
    if (outcome == backup::Outcome::Interrupted)
        return 128 + (g_signal != 0 ? g_signal : SIGINT);
    return outcome == backup::Outcome::Done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    enum { FORCE = 256, VERSION, REPLACE, OTHER_ADAPTER, ANY_TYPE, SERIAL, PORTS, PACKAGE,
           REPORT, WITH_SERIAL };
    static const option longOpts[] = {
        {"port", required_argument, nullptr, 'p'},
        {"reset", no_argument, nullptr, 'R'},
        {"serial", required_argument, nullptr, SERIAL},
        // Not in the help: the tests' stand-in for the machine's port list,
        // as tarvo-station's --ports.
        {"ports", required_argument, nullptr, PORTS},
        {"replace", no_argument, nullptr, REPLACE},
        {"other-adapter", no_argument, nullptr, OTHER_ADAPTER},
        {"any-type", no_argument, nullptr, ANY_TYPE},
        {"package", required_argument, nullptr, PACKAGE},
        {"report", required_argument, nullptr, REPORT},
        {"with-serial", no_argument, nullptr, WITH_SERIAL},
        {"force", no_argument, nullptr, FORCE},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, VERSION},
        {nullptr, 0, nullptr, 0},
    };

    // check's usage errors exit 2, as its other answers need 1 and 3.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "check") == 0)
            g_usageStatus = 2;
        if (strcmp(argv[i], "--") == 0)
            break;
    }
    Request request;
    int c;
    while ((c = getopt_long(argc, argv, "p:Rh", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'p':
            request.named = true;
            request.port = optarg;
            break;
        case 'R':
            request.reset = true;
            break;
        case SERIAL:
            request.serial = optarg;
            if (request.serial.empty())
                return usageError("--serial needs a serial number");
            break;
        case PORTS:
            request.ports = optarg;
            break;
        case REPLACE:
            request.options.replace = true;
            break;
        case OTHER_ADAPTER:
            request.options.otherAdapter = true;
            break;
        case ANY_TYPE:
            request.options.anyType = true;
            break;
        case PACKAGE:
            request.options.makerPackage = optarg;
            break;
        case REPORT:
            request.reportFile = optarg;
            break;
        case WITH_SERIAL:
            request.withSerial = true;
            break;
        case FORCE:
            // It meant three things; a script that used it must now say which.
            return usageError("--force is now --replace (save), --other-adapter (restore) or "
                              "--any-type (verify, restore)");
        case 'h':
            fputs(HELP_TEXT, stdout);
            return 0;
        case VERSION:
            printf("%s %s\n", PROGRAM, TARVO_VERSION);
            return 0;
        default:
            tryHelp(PROGRAM, HelpHint::ShortAndLong);
            return g_usageStatus;
        }
    }
    if (optind == argc)
        return usageError("missing command (save, verify, restore or check)");
    request.command = argv[optind++];
    if (request.command != "save" && request.command != "verify" &&
        request.command != "restore" && request.command != "check")
        return usageError(("unknown command " + request.command).c_str());
    g_usageStatus = request.command == "check" ? 2 : 1;
    if ((!request.reportFile.empty() || request.withSerial) && request.command != "check")
        return usageError("--report and --with-serial go with check only");
    if (request.withSerial && request.reportFile.empty())
        return usageError("--with-serial needs --report=FILE");
    if (!request.options.makerPackage.empty() && request.command != "save")
        return usageError("--package goes with save only (check takes the package as its "
                          "argument)");
    if (request.command == "check") {
        if (optind < argc)
            request.argument = argv[optind++];
        if (optind != argc)
            return usageError("extra arguments found");
    } else if (optind == argc)
        return usageError(request.command == "verify" ? "missing directory or package file"
                                                      : "missing directory");
    if (request.command != "check") {
        request.argument = argv[optind++];
        if (optind != argc)
            return usageError("extra arguments found");
    }

    PlatformTimerResolution timerResolution;  // a restore installs firmware
    const int status = runReportingFailures([&] {
        PortFactory portFactory;
        if (request.ports.empty())
            return run(request, portFactory);
        PatternPortFactory listed(portFactory, request.ports);
        return run(request, listed);
    });
    if (request.command == "check")
        return g_checkStatus >= 0 ? g_checkStatus : 3;
    return status;
}
