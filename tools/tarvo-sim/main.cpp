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

enum {
    CHIP = 256, ID_BITS, HW_VERSION, TYPE, SERIAL, FW_VERSION, FW_EXTRA, LINK, VERSION_TEXT,
    STATE, NO_VERSION, DROP, SHORT, WRONG, NAK, CORRUPT, SILENT_ERASE, SILENT_INITD, GONE,
    REPLY_US, ERASE_US, PAGE_US, UART_BYTES, REAL, LINK_PATH, STATS, VERSION,
    STUCK_BYTE, WRONG_READ, TRICKLE, CHECKSUM, SILENT_RESTART, XOR_INITD
};

const option LONG_OPTS[] = {
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

// Whether an option was one of a group's, and its value good; a bad one has
// been told.
enum class Took { Mine, NotMine, Bad };

Took bad(const char* what, const char* value)
{
    usageError(what, value);
    return Took::Bad;
}

// What the adapter is.
Took adapterOption(int c, const char* arg, SimOptions& sim)
{
    unsigned long long v = 0;
    switch (c) {
    case CHIP:
        if (!strcmp(arg, "256k"))
            sim.chipId = device::CHIP_256K;
        else if (!strcmp(arg, "128k"))
            sim.chipId = device::CHIP_128K;
        else if (parseNumber(arg, UINT32_MAX, v))
            sim.chipId = static_cast<uint32_t>(v);
        else
            return bad("chip", arg);
        return Took::Mine;
    case ID_BITS:
        if (!parseNumber(arg, 15, v))
            return bad("identifier bits", arg);
        sim.idExtraBits = static_cast<uint32_t>(v);
        return Took::Mine;
    case HW_VERSION:
        if (!parseNumber(arg, 0xFFFF, v))
            return bad("hardware version", arg);
        sim.hardwareVersion = static_cast<uint16_t>(v);
        return Took::Mine;
    case TYPE:
        if (strlen(arg) == 1)
            sim.typeLetter = static_cast<uint8_t>(arg[0]);
        else if (parseNumber(arg, 0xFF, v))
            sim.typeLetter = static_cast<uint8_t>(v);
        else
            return bad("type", arg);
        return Took::Mine;
    case SERIAL:
        if (strlen(arg) > 8)
            return bad("serial number (8 characters at most)", arg);
        sim.serial = arg;
        return Took::Mine;
    case FW_VERSION:
    case FW_EXTRA:
        if (!parseNumber(arg, UINT32_MAX, v))
            return bad("firmware version word", arg);
        (c == FW_VERSION ? sim.firmwareVersion : sim.firmwareVersionExtra) =
            static_cast<uint32_t>(v);
        return Took::Mine;
    case LINK:
        if (!strcmp(arg, "usb"))
            sim.link = SimLink::Usb;
        else if (!strcmp(arg, "uart"))
            sim.link = SimLink::Uart;
        else
            return bad("link", arg);
        return Took::Mine;
    case VERSION_TEXT:
        sim.versionText = arg;
        return Took::Mine;
    case CHECKSUM:
        if (!strcmp(arg, "sum"))
            sim.checksum = SimChecksum::Sum;
        else if (!strcmp(arg, "crc32"))
            sim.checksum = SimChecksum::Crc32;
        else if (!strcmp(arg, "mix"))
            sim.checksum = SimChecksum::Mix;
        else
            return bad("checksum", arg);
        return Took::Mine;
    default:
        return Took::NotMine;
    }
}

// How it fails. arg is null for --trickle without its value.
Took faultOption(int c, const char* arg, SimFaults& faults)
{
    unsigned long long v = 0;
    uint64_t k = 0;
    switch (c) {
    case TRICKLE:
        v = 20;
        if (arg && (!parseNumber(arg, 10000, v) || v == 0))
            return bad("trickle interval", arg);
        faults.trickleUs = v * 1000;
        return Took::Mine;
    case NO_VERSION:
        faults.noVersionReply = true;
        return Took::Mine;
    case DROP:
    case WRONG:
    case GONE:
        if (!parseNumber(arg, UINT32_MAX, v) || v == 0)
            return bad("command number", arg);
        (c == DROP ? faults.dropReplyOf : c == WRONG ? faults.wrongLetterOf : faults.goneAfter) =
            static_cast<uint32_t>(v);
        return Took::Mine;
    case SHORT:
        k = 1;
        if (!parsePair(arg, faults.shortReplyOf, k))
            return bad("short reply", arg);
        faults.shortReplyKeep = static_cast<size_t>(k);
        return Took::Mine;
    case NAK:
    case CORRUPT:
        k = 1;
        if (!parsePair(arg, c == NAK ? faults.nakBlock : faults.corruptBlock, k))
            return bad("block fault", arg);
        (c == NAK ? faults.nakTimes : faults.corruptTimes) = static_cast<uint32_t>(k);
        return Took::Mine;
    case WRONG_READ:
        k = UINT32_MAX;
        if (!parsePair(arg, faults.wrongReadAddr, k) || k > UINT32_MAX)
            return bad("wrong read", arg);
        faults.wrongRead = true;
        faults.wrongReadTimes = static_cast<uint32_t>(k);
        return Took::Mine;
    case SILENT_ERASE:
        faults.silentErase = true;
        return Took::Mine;
    case SILENT_INITD:
        faults.silentInitD = true;
        return Took::Mine;
    case SILENT_RESTART:
        faults.silentAfterRestart = true;
        return Took::Mine;
    case XOR_INITD:
        if (!parseNumber(arg, 0xFF, v) || v == 0)
            return bad("byte (1 to 0xFF)", arg);
        faults.xorAfterInitD = static_cast<uint8_t>(v);
        return Took::Mine;
    case STUCK_BYTE:
        if (!parseNumber(arg, UINT32_MAX, v))
            return bad("flash address", arg);
        faults.stuckByte = static_cast<uint32_t>(v);
        return Took::Mine;
    default:
        return Took::NotMine;
    }
}

// How long it takes. realReplies: the reply time is --real-adapter's, which
// a UART link does not wait for.
Took timingOption(int c, const char* arg, SimTiming& timing, bool& realReplies)
{
    unsigned long long v = 0;
    switch (c) {
    case REPLY_US:
    case ERASE_US:
    case PAGE_US:
        if (!parseNumber(arg, 10000000, v))
            return bad("time", arg);
        (c == REPLY_US ? timing.replyUs : c == ERASE_US ? timing.rowEraseUs : timing.pageWriteUs) = v;
        realReplies = realReplies && c != REPLY_US;
        return Took::Mine;
    case UART_BYTES:
        timing.uartByteTime = true;
        return Took::Mine;
    case REAL:
        realReplies = true;
        timing.replyUs = 1000;
        timing.rowEraseUs = 6000;
        timing.pageWriteUs = 2500;
        timing.uartByteTime = true;
        return Took::Mine;
    default:
        return Took::NotMine;
    }
}

// Where it is served, and what is kept of it.
Took serveOption(int c, const char* arg, ServeOptions& serve)
{
    switch (c) {
    case STATE:
        serve.stateFile = arg;
        return Took::Mine;
    case LINK_PATH:
        serve.linkPath = arg;
        return Took::Mine;
    case STATS:
        serve.statsFile = arg;
        return Took::Mine;
    default:
        return Took::NotMine;
    }
}

// The flash as the state file left it, when there is one.
bool loadState(SimAdapter& adapter, const std::string& stateFile)
{
    if (stateFile.empty())
        return true;
    FILE* f = fopen(stateFile.c_str(), "rb");
    if (!f)
        return true;
    fclose(f);
    if (adapter.loadFlash(stateFile))
        return true;
    fprintf(stderr, "tarvo-sim: %s is not a flash image of this chip (%zu bytes)\n",
            stateFile.c_str(), adapter.flash().size());
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions sim;
    SimFaults faults;
    SimTiming timing;
    ServeOptions serve;
    bool realReplies = false;

    // "+" stops at the first operand, so the command's own options stay its own.
    int c;
    while ((c = getopt_long(argc, argv, "+h", LONG_OPTS, nullptr)) != -1) {
        Took took = adapterOption(c, optarg, sim);
        if (took == Took::NotMine)
            took = faultOption(c, optarg, faults);
        if (took == Took::NotMine)
            took = timingOption(c, optarg, timing, realReplies);
        if (took == Took::NotMine)
            took = serveOption(c, optarg, serve);
        if (took == Took::Bad)
            return 1;
        if (took == Took::Mine)
            continue;
        if (c == 'h') {
            fputs(HELP, stdout);
            return 0;
        }
        if (c == VERSION) {
            printf("tarvo-sim %s\n", TARVO_VERSION);
            return 0;
        }
        tryHelp("tarvo-sim", HelpHint::LongOnly);
        return 1;
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
    if (!loadState(adapter, serve.stateFile))
        return 1;
    return servePty(adapter, serve);
}
