// tarvo-sim: the simulated adapter on a pseudo-terminal.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PtyServer.h"
#include "SimAdapter.h"
#include "Usage.h"

namespace {

const char* const HELP =
    "Usage: tarvo-sim [OPTION...] [-- COMMAND [ARG...]]\n"
    "Serves a simulated adapter on a pseudo-terminal. The terminal's path is printed\n"
    "on one line of standard output; then it serves until killed. With a COMMAND, it\n"
    "runs the command with every {} in its arguments replaced by the terminal's path,\n"
    "and exits with the command's status. Ended by signal N (SIGINT, SIGTERM, SIGHUP),\n"
    "it stops the command and exits with 128+N.\n"
    "\n"
    "Adapter:\n"
    "  --chip=CHIP            256k (0x1001030A, default) or 128k (0x1001030B), or an\n"
    "                         identifier in hexadecimal (an unsupported one is refused\n"
    "                         by tarvo)\n"
    "  --id-bits=N            bits 12 to 15 of the device identifier (0 to 15)\n"
    "  --hw-version=HEX       hardware (board) version, 16 bits (default 0x0203)\n"
    "  --type=LETTER          adapter type letter (default E), or a byte as 0xNN\n"
    "  --serial=TEXT          serial number, 8 characters (default AB123456)\n"
    "  --fw-version=HEX       firmware version word (default 0x0A030105)\n"
    "  --fw-extra=HEX         second firmware version word (default 0x00004502)\n"
    "  --link=usb|uart        usb: raw transfers (default); uart: deaf until the\n"
    "                         auto-baud bytes, XMODEM-CRC transfers\n"
    "  --version-text=TEXT    the boot monitor's answer to V# (must hold VMD for tarvo\n"
    "                         to accept it)\n"
    "  --checksum=sum|crc32|mix\n"
    "                         what the checksum command answers: the 32-bit byte sum\n"
    "                         (default), the CRC-32 of the range, or a mix of its\n"
    "                         bytes that no known formula gives (a monitor whose\n"
    "                         checksum the host cannot check a read against)\n"
    "  --state=FILE           load the flash from FILE at start (when it exists) and\n"
    "                         save it there whenever it changes\n"
    "\n"
    "Faults (commands and blocks count from 1 since the terminal was last opened):\n"
    "  --trickle[=MS]         no adapter at all: a line that sends a letter every MS\n"
    "                         milliseconds (default 20) and answers nothing\n"
    "  --no-version-reply     no answer to V#\n"
    "  --drop-reply=N         command N gets no reply\n"
    "  --short-reply=N[:K]    the reply of command N is cut to K bytes (default 1)\n"
    "  --wrong-letter=N       the reply of command N starts with a wrong letter\n"
    "  --nak-block=N:K        received XMODEM block N is refused K times\n"
    "  --corrupt-block=N:K    sent XMODEM block N goes out K times with a bad CRC\n"
    "  --silent-erase         the erase command erases but does not answer\n"
    "  --silent-initd         the preparation command x# does not answer\n"
    "  --silent-after-restart after a jump or a reset the monitor answers nothing\n"
    "                         more, however the terminal is opened again (the\n"
    "                         firmware runs, as on a real adapter)\n"
    "  --xor-after-initd=BYTE after x#, flash blocks are stored XORed with BYTE (a\n"
    "                         monitor that decodes the image it receives)\n"
    "  --gone-after=N         after command N the adapter is gone\n"
    "  --stuck-byte=ADDR      the flash byte at ADDR does not program\n"
    "  --wrong-read=ADDR[:K]  block reads covering flash byte ADDR return it altered,\n"
    "                         differently each time, the first K of them (default:\n"
    "                         every one)\n"
    "\n"
    "Timing model (all zero by default: replies are ready at once):\n"
    "  --reply-us=N           microseconds from a command to its reply\n"
    "  --erase-us=N           microseconds per 256-byte row erased\n"
    "  --page-us=N            microseconds per 64-byte page written\n"
    "  --uart-byte-time       on a uart link, each byte either way takes 10 bit times\n"
    "  --real-adapter         a real adapter's figures: 1000 us per reply on usb (the\n"
    "                         full-speed frame), 6000 us per row, 2500 us per page,\n"
    "                         byte times on a uart link\n"
    "\n"
    "Other:\n"
    "  --link-path=PATH       make PATH a symbolic link to the terminal while serving\n"
    "  --stats=FILE           at exit, write the counters (exchanges, commands, rows\n"
    "                         erased, pages written, replies, bytes each way, ...) to\n"
    "                         FILE\n"
    "  -h, --help             show this text\n"
    "  --version              show the version\n";

bool parseNumber(const char* text, unsigned long long max, unsigned long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 0);
    return *text != '\0' && *text != '-' && end && *end == '\0' && errno == 0 && value <= max;
}

// "N" or "N:K"; K keeps its default when absent.
bool parsePair(const char* text, uint32_t& n, uint64_t& k)
{
    std::string s = text;
    size_t colon = s.find(':');
    unsigned long long a, b;
    if (!parseNumber(s.substr(0, colon).c_str(), UINT32_MAX, a) || a == 0)
        return false;
    n = static_cast<uint32_t>(a);
    if (colon == std::string::npos)
        return true;
    if (!parseNumber(s.substr(colon + 1).c_str(), UINT32_MAX, b))
        return false;
    k = b;
    return true;
}

int usageError(const char* what, const char* value)
{
    return reportUsageError("tarvo-sim", std::string("invalid ") + what + ": " + value,
                            HelpHint::LongOnly);
}

}  // namespace

int main(int argc, char** argv)
{
    enum {
        CHIP = 256, ID_BITS, HW_VERSION, TYPE, SERIAL, FW_VERSION, FW_EXTRA, LINK, VERSION_TEXT,
        STATE, NO_VERSION, DROP, SHORT, WRONG, NAK, CORRUPT, SILENT_ERASE, SILENT_INITD, GONE,
        REPLY_US, ERASE_US, PAGE_US, UART_BYTES, REAL, LINK_PATH, STATS, VERSION,
        STUCK_BYTE, WRONG_READ, TRICKLE, CHECKSUM, SILENT_RESTART, XOR_INITD
    };
    static const option longOpts[] = {
        {"chip", required_argument, nullptr, CHIP},
        {"id-bits", required_argument, nullptr, ID_BITS},
        {"hw-version", required_argument, nullptr, HW_VERSION},
        {"type", required_argument, nullptr, TYPE},
        {"serial", required_argument, nullptr, SERIAL},
        {"fw-version", required_argument, nullptr, FW_VERSION},
        {"fw-extra", required_argument, nullptr, FW_EXTRA},
        {"link", required_argument, nullptr, LINK},
        {"version-text", required_argument, nullptr, VERSION_TEXT},
        {"checksum", required_argument, nullptr, CHECKSUM},
        {"state", required_argument, nullptr, STATE},
        {"trickle", optional_argument, nullptr, TRICKLE},
        {"no-version-reply", no_argument, nullptr, NO_VERSION},
        {"drop-reply", required_argument, nullptr, DROP},
        {"short-reply", required_argument, nullptr, SHORT},
        {"wrong-letter", required_argument, nullptr, WRONG},
        {"nak-block", required_argument, nullptr, NAK},
        {"corrupt-block", required_argument, nullptr, CORRUPT},
        {"silent-erase", no_argument, nullptr, SILENT_ERASE},
        {"silent-initd", no_argument, nullptr, SILENT_INITD},
        {"silent-after-restart", no_argument, nullptr, SILENT_RESTART},
        {"xor-after-initd", required_argument, nullptr, XOR_INITD},
        {"gone-after", required_argument, nullptr, GONE},
        {"stuck-byte", required_argument, nullptr, STUCK_BYTE},
        {"wrong-read", required_argument, nullptr, WRONG_READ},
        {"reply-us", required_argument, nullptr, REPLY_US},
        {"erase-us", required_argument, nullptr, ERASE_US},
        {"page-us", required_argument, nullptr, PAGE_US},
        {"uart-byte-time", no_argument, nullptr, UART_BYTES},
        {"real-adapter", no_argument, nullptr, REAL},
        {"link-path", required_argument, nullptr, LINK_PATH},
        {"stats", required_argument, nullptr, STATS},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, VERSION},
        {nullptr, 0, nullptr, 0},
    };

    SimOptions sim;
    SimFaults faults;
    SimTiming timing;
    ServeOptions serve;
    bool realReplies = false;
    unsigned long long v = 0;
    uint64_t k = 0;

    // "+" stops at the first operand, so the command's own options stay its own.
    int c;
    while ((c = getopt_long(argc, argv, "+h", longOpts, nullptr)) != -1) {
        switch (c) {
        case CHIP:
            if (!strcmp(optarg, "256k"))
                sim.chipId = device::CHIP_256K;
            else if (!strcmp(optarg, "128k"))
                sim.chipId = device::CHIP_128K;
            else if (parseNumber(optarg, UINT32_MAX, v))
                sim.chipId = static_cast<uint32_t>(v);
            else
                return usageError("chip", optarg);
            break;
        case ID_BITS:
            if (!parseNumber(optarg, 15, v))
                return usageError("identifier bits", optarg);
            sim.idExtraBits = static_cast<uint32_t>(v);
            break;
        case HW_VERSION:
            if (!parseNumber(optarg, 0xFFFF, v))
                return usageError("hardware version", optarg);
            sim.hardwareVersion = static_cast<uint16_t>(v);
            break;
        case TYPE:
            if (strlen(optarg) == 1)
                sim.typeLetter = static_cast<uint8_t>(optarg[0]);
            else if (parseNumber(optarg, 0xFF, v))
                sim.typeLetter = static_cast<uint8_t>(v);
            else
                return usageError("type", optarg);
            break;
        case SERIAL:
            if (strlen(optarg) > 8)
                return usageError("serial number (8 characters at most)", optarg);
            sim.serial = optarg;
            break;
        case FW_VERSION:
        case FW_EXTRA:
            if (!parseNumber(optarg, UINT32_MAX, v))
                return usageError("firmware version word", optarg);
            (c == FW_VERSION ? sim.firmwareVersion : sim.firmwareVersionExtra) =
                static_cast<uint32_t>(v);
            break;
        case LINK:
            if (!strcmp(optarg, "usb"))
                sim.link = SimLink::Usb;
            else if (!strcmp(optarg, "uart"))
                sim.link = SimLink::Uart;
            else
                return usageError("link", optarg);
            break;
        case VERSION_TEXT:
            sim.versionText = optarg;
            break;
        case CHECKSUM:
            if (!strcmp(optarg, "sum"))
                sim.checksum = SimChecksum::Sum;
            else if (!strcmp(optarg, "crc32"))
                sim.checksum = SimChecksum::Crc32;
            else if (!strcmp(optarg, "mix"))
                sim.checksum = SimChecksum::Mix;
            else
                return usageError("checksum", optarg);
            break;
        case STATE:
            serve.stateFile = optarg;
            break;
        case TRICKLE:
            v = 20;
            if (optarg && (!parseNumber(optarg, 10000, v) || v == 0))
                return usageError("trickle interval", optarg);
            faults.trickleUs = v * 1000;
            break;
        case NO_VERSION:
            faults.noVersionReply = true;
            break;
        case DROP:
        case WRONG:
        case GONE:
            if (!parseNumber(optarg, UINT32_MAX, v) || v == 0)
                return usageError("command number", optarg);
            (c == DROP ? faults.dropReplyOf : c == WRONG ? faults.wrongLetterOf : faults.goneAfter) =
                static_cast<uint32_t>(v);
            break;
        case SHORT:
            k = 1;
            if (!parsePair(optarg, faults.shortReplyOf, k))
                return usageError("short reply", optarg);
            faults.shortReplyKeep = static_cast<size_t>(k);
            break;
        case NAK:
        case CORRUPT:
            k = 1;
            if (!parsePair(optarg, c == NAK ? faults.nakBlock : faults.corruptBlock, k))
                return usageError("block fault", optarg);
            (c == NAK ? faults.nakTimes : faults.corruptTimes) = static_cast<uint32_t>(k);
            break;
        case WRONG_READ:
            k = UINT32_MAX;
            if (!parsePair(optarg, faults.wrongReadAddr, k) || k > UINT32_MAX)
                return usageError("wrong read", optarg);
            faults.wrongRead = true;
            faults.wrongReadTimes = static_cast<uint32_t>(k);
            break;
        case SILENT_ERASE:
            faults.silentErase = true;
            break;
        case SILENT_INITD:
            faults.silentInitD = true;
            break;
        case SILENT_RESTART:
            faults.silentAfterRestart = true;
            break;
        case XOR_INITD:
            if (!parseNumber(optarg, 0xFF, v) || v == 0)
                return usageError("byte (1 to 0xFF)", optarg);
            faults.xorAfterInitD = static_cast<uint8_t>(v);
            break;
        case STUCK_BYTE:
            if (!parseNumber(optarg, UINT32_MAX, v))
                return usageError("flash address", optarg);
            faults.stuckByte = static_cast<uint32_t>(v);
            break;
        case REPLY_US:
        case ERASE_US:
        case PAGE_US:
            if (!parseNumber(optarg, 10000000, v))
                return usageError("time", optarg);
            (c == REPLY_US ? timing.replyUs : c == ERASE_US ? timing.rowEraseUs : timing.pageWriteUs) = v;
            realReplies = realReplies && c != REPLY_US;
            break;
        case UART_BYTES:
            timing.uartByteTime = true;
            break;
        case REAL:
            realReplies = true;
            timing.replyUs = 1000;
            timing.rowEraseUs = 6000;
            timing.pageWriteUs = 2500;
            timing.uartByteTime = true;
            break;
        case LINK_PATH:
            serve.linkPath = optarg;
            break;
        case STATS:
            serve.statsFile = optarg;
            break;
        case 'h':
            fputs(HELP, stdout);
            return 0;
        case VERSION:
            printf("tarvo-sim %s\n", TARVO_VERSION);
            return 0;
        default:
            tryHelp("tarvo-sim", HelpHint::LongOnly);
            return 1;
        }
    }
    if (optind < argc && strcmp(argv[optind - 1], "--") != 0)
        return usageError("argument (put the command after --)", argv[optind]);
    for (int i = optind; i < argc; i++)
        serve.command.push_back(argv[i]);
    // A UART has no frames to wait for: its replies cost their byte times.
    if (realReplies && sim.link == SimLink::Uart)
        timing.replyUs = 0;

    SimAdapter adapter(sim);
    adapter.faults = faults;
    adapter.timing = timing;
    if (!serve.stateFile.empty()) {
        FILE* f = fopen(serve.stateFile.c_str(), "rb");
        if (f) {
            fclose(f);
            if (!adapter.loadFlash(serve.stateFile)) {
                fprintf(stderr, "tarvo-sim: %s is not a flash image of this chip (%zu bytes)\n",
                        serve.stateFile.c_str(), adapter.flash().size());
                return 1;
            }
        }
    }
    return servePty(adapter, serve);
}
