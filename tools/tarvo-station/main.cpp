// tarvo-station: lists the attached adapters, and installs firmware onto
// many of them at once, each in a worker process of its own.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fleet/AdapterSelect.h"
#include "PlatformPortFactory.h"
#include "process/Process.h"
#include "Station.h"
#include "Usage.h"

namespace {

const char* const PROGRAM = "tarvo-station";

const char* const HELP_TEXT =
    "Usage: tarvo-station [OPTION...] COMMAND [PACKAGE]\n"
    "       tarvo-station [OPTION...] list --check [PACKAGE]\n"
    "Lists the attached adapters and installs firmware onto many of them at once.\n"
    "\n"
    "Commands:\n"
    "  list             Every serial port and what answers on it: for an adapter its\n"
    "                   serial number, board version, type letter, chip and flash\n"
    "                   size, firmware version words and bootloader version; for any\n"
    "                   other port the reason (not an adapter, busy, permission\n"
    "                   denied, no answer). The ports are probed in parallel.\n"    "  list --check [PACKAGE]\n"
    "                   Also find out on every adapter, in parallel and reading\n"
    "                   only, whether its backups can be restored, as\n"
    "                   'tarvo-backup check' does: the checksum formula its monitor\n"
    "                   uses and, given the maker's PACKAGE of the firmware the\n"
    "                   adapters run, whether the monitor stores firmware exactly\n"
    "                   as sent. Nothing is erased or written.\n"
    "  install PACKAGE  Install onto the adapters chosen with --serial or --all, in\n"
    "                   parallel: a backup of each first (as 'tarvo-backup save'\n"
    "                   makes it), every check before the erase, the install, the\n"
    "                   verification and the restart. A failed install restores that\n"
    "                   adapter's backup once. Ends with a table: serial, port,\n"
    "                   firmware before and after, result, seconds.\n"
    "  watch PACKAGE    Wait for adapters to appear and install onto each new one as\n"
    "                   install does, once per serial number, until Ctrl-C. A first\n"
    "                   Ctrl-C stops taking new adapters and waits for the running\n"
    "                   installs; a second ends them, saying what each is left in.\n"
    "\n"
    "Options:\n"
    "      --serial=SN[,SN...]  install: the adapters with these serial numbers\n"
    "      --all                install: every adapter found\n"
    "      --ports=PATTERN[,PATTERN...]\n"
    "                           consider only these ports (glob patterns such as\n"
    "                           /dev/ttyACM*, or COM names); looked up afresh on\n"
    "                           every poll of watch\n"
    "      --jobs=N             at most N installs at a time (default: all)\n"
    "      --backup-dir=DIR     where the backups go, one folder per adapter named\n"
    "                           by serial number and time (default: tarvo-backups)\n"
    "      --check              list: check every adapter's backups (see above)\n"
    "      --dry-run            connect and make every check, but read nothing more\n"
    "                           and erase nothing; print what would be done\n"
    "      --json               one JSON object a line for every adapter found,\n"
    "                           progress step and result\n"
    "      --log=FILE           append one line a result to FILE\n"
    "      --trace=DIR          the monitor client's trace, one file per adapter\n"
    "  -h, --help               Display this help text\n"
    "      --version            Display the version\n"
    "\n"
    "Exit status: 0 everything asked for succeeded; 1 an adapter failed (or none\n"
    "was found); 2 a usage error; 3 a serial number asked for was not found (the\n"
    "others are still installed; an adapter that failed gives 1 first).\n"
    "list --check: 0 the backups of every adapter restore; 1 those of an adapter\n"
    "cannot; 3 an adapter could not be told (or none was found).\n";

int usageError(const std::string& message)
{
    return reportUsageError(PROGRAM, message, HelpHint::ShortAndLong, EXIT_USAGE);
}

enum { SERIAL = 256, ALL, PORTS, JOBS, BACKUP_DIR, CHECK, DRY_RUN, JSON, LOG, TRACE, VERSION,
       WORKER, PORT, PACKAGE, NAMED, SERIAL_HEX };
const option LONG_OPTS[] = {
    {"serial", required_argument, nullptr, SERIAL},
    {"all", no_argument, nullptr, ALL},
    {"ports", required_argument, nullptr, PORTS},
    {"jobs", required_argument, nullptr, JOBS},
    {"backup-dir", required_argument, nullptr, BACKUP_DIR},
    {"check", no_argument, nullptr, CHECK},
    {"dry-run", no_argument, nullptr, DRY_RUN},
    {"json", no_argument, nullptr, JSON},
    {"log", required_argument, nullptr, LOG},
    {"trace", required_argument, nullptr, TRACE},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VERSION},
    // The worker mode's own, given by the parent only.
    {"worker", required_argument, nullptr, WORKER},
    {"port", required_argument, nullptr, PORT},
    {"package", required_argument, nullptr, PACKAGE},
    {"named", no_argument, nullptr, NAMED},
    {"serial-hex", required_argument, nullptr, SERIAL_HEX},
    {nullptr, 0, nullptr, 0},
};

// The options, into options and into the worker's request: -1 to go on,
// else the exit status (help, version or a usage error).
int takeOptions(int argc, char** argv, StationOptions& options, WorkerRequest& worker,
                bool& serialGiven)
{
    int c;
    while ((c = getopt_long(argc, argv, "h", LONG_OPTS, nullptr)) != -1) {
        switch (c) {
        case SERIAL:
            serialGiven = true;
            worker.serial = optarg;
            for (const std::string& s : splitList(optarg))
                options.serials.push_back(s);
            break;
        case ALL:
            options.all = true;
            break;
        case PORTS:
            options.ports = optarg;
            break;
        case JOBS: {
            char* end = nullptr;
            long n = std::strtol(optarg, &end, 10);
            if (!*optarg || *end || n < 1 || n > 1000)
                return usageError(std::string("invalid --jobs: ") + optarg);
            options.jobs = static_cast<int>(n);
            break;
        }
        case BACKUP_DIR:
            if (!*optarg)
                return usageError("--backup-dir needs a folder");
            options.backupDir = worker.backupDir = optarg;
            break;
        case CHECK:
            options.check = true;
            break;
        case DRY_RUN:
            options.dryRun = worker.dryRun = true;
            break;
        case JSON:
            options.json = true;
            break;
        case LOG:
            if (!*optarg)
                return usageError("--log needs a file");
            options.logFile = worker.logFile = optarg;
            break;
        case TRACE:
            options.traceDir = optarg;
            worker.trace = true;
            break;
        case 'h':
            fputs(HELP_TEXT, stdout);
            return EXIT_ALL_OK;
        case VERSION:
            printf("%s %s\n", PROGRAM, TARVO_VERSION);
            return EXIT_ALL_OK;
        case WORKER:
            worker.kind = optarg;
            break;
        case PORT:
            worker.port = optarg;
            break;
        case PACKAGE:
            worker.package = optarg;
            break;
        case NAMED:
            worker.named = true;
            break;
        case SERIAL_HEX:
            if (!hexDecode(optarg, worker.serial))
                return usageError("invalid worker request");
            break;
        default:
            tryHelp(PROGRAM, HelpHint::ShortAndLong);
            return EXIT_USAGE;
        }
    }
    return -1;
}

// The command and its operands: -1 when they go together, else the usage
// error's status.
int takeCommand(int argc, char** argv, StationOptions& options, bool serialGiven)
{
    if (optind == argc)
        return usageError("missing command (list, install or watch)");
    options.command = argv[optind++];
    if (options.command != "list" && options.command != "install" && options.command != "watch")
        return usageError("unknown command " + options.command);
    if (options.check && options.command != "list")
        return usageError("--check is for list");
    const bool takesPackage = options.command != "list";
    if (takesPackage) {
        if (optind == argc)
            return usageError("missing package file");
        options.package = argv[optind++];
    } else if (options.check && optind < argc) {
        options.package = argv[optind++];
    }
    if (optind != argc)
        return usageError("extra arguments found");
    if (options.command == "install" && options.all == serialGiven)
        return usageError("install needs either --serial=SN[,SN...] or --all");
    if (options.command == "install" && serialGiven && options.serials.empty())
        return usageError("--serial needs a serial number");
    if (options.command != "install" && (options.all || serialGiven))
        return usageError("--serial and --all are for install");
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    StationOptions options;
    WorkerRequest worker;
    bool serialGiven = false;
    int status = takeOptions(argc, argv, options, worker, serialGiven);
    if (status >= 0)
        return status;

    if (!worker.kind.empty()) {
        if ((worker.kind != "probe" && worker.kind != "check" && worker.kind != "install") ||
            worker.port.empty())
            return usageError("invalid worker request");
        PlatformTimerResolution timerResolution;  // an install pauses between blocks
        return workerMain(worker);
    }

    status = takeCommand(argc, argv, options, serialGiven);
    if (status >= 0)
        return status;

#if defined(SIGPIPE)
    // A reader that goes away (--json | head) is a write error: the run goes
    // on, its workers waited for and its log written.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const std::string self = selfPath(argv[0]);
    if (options.command == "list")
        return listCommand(options, self);
    if (options.command == "install")
        return installCommand(options, self);
    return watchCommand(options, self);
}
