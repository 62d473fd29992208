// tarvo-backup: saves, verifies and restores the whole adapter.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Backup.h"
#include "PortFactory.h"
#include "SambaXcon.h"
#include "TerminalReport.h"
#include "TarvoXcon.h"
#include "TimerResolution.h"

#if defined(_WIN32)
#include "WinPortFactory.h"
#else
#include "PosixPortFactory.h"
#endif

namespace {

const char* const PROGRAM = "tarvo-backup";

const char* const HELP_TEXT =
    "Usage: tarvo-backup [-p PORT] [-R] [--force] COMMAND ARGUMENT\n"
    "Saves the whole adapter, checks it against a backup, and puts a backup back.\n"
    "\n"
    "Commands:\n"
    "  save DIR        Read the firmware region and the setting area, each checked\n"
    "                  against the adapter's own checksum (read once more on a\n"
    "                  difference), and write into DIR (created if missing):\n"
    "                    firmware.pkg  a package that 'tarvo -f' installs on this adapter\n"
    "                    settings.dat  the setting area, as 'tarvo -s' saves it\n"
    "                    adapter.txt   the information report, the checksums, the date\n"
    "                  Never writes to the adapter; refuses to replace a backup in\n"
    "                  DIR unless --force.\n"
    "  verify DIR      Compare the adapter with a backup: the firmware region by the\n"
    "                  adapter's checksum, the setting area byte by byte. Reads only.\n"
    "  verify FILE     Compare the adapter with the package of FILE that 'tarvo -f'\n"
    "                  would install, by the adapter's checksum. Reads only.\n"
    "                  verify prints \"firmware: matches\" or \"firmware: differs\" (and\n"
    "                  \"settings: matches\" or \"settings: differ in N bytes\") and exits\n"
    "                  0 only when everything matches.\n"
    "  restore DIR     Put a backup back on the adapter it was saved from: the\n"
    "                  settings as 'tarvo -u' writes them, then the firmware as\n"
    "                  'tarvo -f' installs it (every check before the erase, the\n"
    "                  verification, the restart). Exits 0 only when both verified.\n"
    "\n"
    "Options:\n"
    "  -p, --port=PORT  Use serial PORT to communicate to device;\n"
    "                   default behavior is to auto-scan all serial ports\n"
    "  -R, --reset      Power recycle adapter at the end\n"
    "      --force      save: replace a backup; restore: onto an adapter with\n"
    "                   another serial number or board version; verify and\n"
    "                   restore: take an adapter of an unknown type, as 'tarvo -I'\n"
    "  -h, --help       Display this help text\n"
    "      --version    Display the version\n"
    "\n"
    "Exit status: 0 on success, 1 otherwise (also when no adapter is found).\n";

int usageError(const char* message)
{
    fprintf(stderr, "%s: %s\nTry '%s -h' or '%s --help' for more information\n", PROGRAM,
            message, PROGRAM, PROGRAM);
    return 1;
}

struct Request {
    bool named = false;
    std::string port;
    bool reset = false;
    backup::Options options;
    std::string command;
    std::string argument;
};

int run(const Request& request, PortFactoryBase& portFactory)
{
    Samba samba;
    uint32_t chipId = 0;
    if (!connectAdapter(samba, portFactory, request.named, request.port, chipId))
        return 1;

    TerminalReport report;
    backup::Outcome outcome;
    bool restarted = false;
    if (request.command == "save")
        outcome = backup::save(samba, chipId, request.argument, request.options, report);
    else if (request.command == "verify")
        outcome = backup::verify(samba, chipId, request.argument, request.options, report);
    else
        outcome = backup::restore(samba, chipId, request.argument, request.options, report,
                                  restarted);
    const int status = outcome == backup::Outcome::Done ? 0 : 1;

    if (request.reset)
        powerCycle(samba, restarted);
    fflush(stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    enum { FORCE = 256, VERSION };
    static const option longOpts[] = {
        {"port", required_argument, nullptr, 'p'},
        {"reset", no_argument, nullptr, 'R'},
        {"force", no_argument, nullptr, FORCE},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, VERSION},
        {nullptr, 0, nullptr, 0},
    };

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
        case FORCE:
            request.options.replace = true;
            request.options.otherAdapter = true;
            request.options.anyType = true;
            break;
        case 'h':
            fputs(HELP_TEXT, stdout);
            return 0;
        case VERSION:
            printf("%s %s\n", PROGRAM, TARVO_VERSION);
            return 0;
        default:
            fprintf(stderr, "Try '%s -h' or '%s --help' for more information\n", PROGRAM,
                    PROGRAM);
            return 1;
        }
    }
    if (optind == argc)
        return usageError("missing command (save, verify or restore)");
    request.command = argv[optind++];
    if (request.command != "save" && request.command != "verify" && request.command != "restore")
        return usageError(("unknown command " + request.command).c_str());
    if (optind == argc)
        return usageError(request.command == "verify" ? "missing directory or package file"
                                                      : "missing directory");
    request.argument = argv[optind++];
    if (optind != argc)
        return usageError("extra arguments found");

#if defined(_WIN32)
    TimerResolution timerResolution;  // a restore installs firmware
#endif
    return runReportingFailures([&] {
        PortFactory portFactory;
        return run(request, portFactory);
    });
}
