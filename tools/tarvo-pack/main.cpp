// tarvo-pack: checks and builds firmware package files.
#include <cstdio>

#include "Usage.h"
#include "package/PackTool.h"

namespace {

void printHelp()
{
    printf(
        "Usage: %s info PACKAGE-FILE\n"
        "       %s create [OPTION...] PAYLOAD PACKAGE-FILE\n"
        "       %s --help | --version\n"
        "\n"
        "info walks a package file package by package, as the firmware update does,\n"
        "prints each package's header and says where and why the walk stops.\n"
        "Exit status 0 when every package is valid and complete, 1 otherwise.\n"
        "\n"
        "create builds one package from a payload file and writes it to PACKAGE-FILE\n"
        "(replacing it, or after its end with --append). The payload is padded with\n"
        "0xFF to the firmware region of the chip --fit names. It refuses, with the\n"
        "reason, a package that tarvo would never install (a type letter, load\n"
        "address, total size or payload checksum that the update rejects).\n"
        "\n"
        "Options of create (numbers in C notation: 4096, 0x1000):\n"
        "  --type=LETTER          type letter after \"VMD\": C, E, K, N or X (required)\n"
        "  --signature=TEXT       the 4 signature bytes as given, instead of --type\n"
        "  --hw=LIST              1 to 8 hardware versions, comma-separated (required);\n"
        "                         a low byte of 0xFF accepts every version of its high\n"
        "                         byte; missing entries repeat the last one given\n"
        "  --fit=128k|256k        pad the payload to the firmware region of that chip\n"
        "                         (also 0x1001030B, 0x1001030A); required unless the\n"
        "                         payload already fills one chip's region\n"
        "  --sw-ver=N             software version (default 0)\n"
        "  --field06=N            the 16-bit field at offset 0x06 (default 0)\n"
        "  --load-addr=ADDR       load address (default 0x1000)\n"
        "  --total=N              total-size field (default: the padded payload length)\n"
        "  --plain-checksum=N     plain checksum (default: computed, see below)\n"
        "  --field14=HEX          the 10 bytes at offset 0x14, as 20 hex digits\n"
        "                         (default all zero)\n"
        "  --warm-reset=N         warm-reset flag: 0 hard reset, else start at 0x1000\n"
        "                         (default 0)\n"
        "  --handling=N           setting-area handling code: 0 keeps the setting area,\n"
        "                         2 carries a setting image, others clear it (default 0)\n"
        "  --settings=FILE        the 4096-byte setting image of handling code 2\n"
        "  --payload-checksum=N   payload checksum (default: the sum of the payload)\n"
        "  --append               add the package after the end of PACKAGE-FILE\n"
        "  --allow-invalid        make a package tarvo refuses all the same (for tests);\n"
        "                         without --fit the payload is padded to a multiple of\n"
        "                         64 bytes. The output names what makes it invalid\n"
        "\n"
        "The payload checksum is the 32-bit wrap-around sum of the payload bytes.\n"
        "The plain checksum covers what the firmware update writes and verifies: the\n"
        "total-size bytes from the payload start, plus 4096 with handling code 2 (the\n"
        "payload checksum and the first 4092 bytes of the setting image). It is\n"
        "computed with the simulated adapter's checksum (a 32-bit wrap-around byte\n"
        "sum); a real adapter's boot monitor may compute another one.\n",
        PROGRAM, PROGRAM, PROGRAM);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return reportUsageError(PROGRAM, "missing command", HelpHint::LongOnly);
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "-h" || command == "--help") {
        printHelp();
        return 0;
    }
    if (command == "--version") {
        printf("%s %s\n", PROGRAM, TARVO_VERSION);
        return 0;
    }
    if (command == "info")
        return packInfo(args);
    if (command == "create")
        return packCreate(args);
    return reportUsageError(PROGRAM, "unknown command '" + command + "'", HelpHint::LongOnly);
}
