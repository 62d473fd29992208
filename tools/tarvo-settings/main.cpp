// tarvo-settings: inspects and edits adapter setting files offline.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EEPROM_Init.h"
#include "files/FileReplace.h"
#include "HexDigit.h"
#include "SettingArea.h"
#include "TarvoXcon.h"
#include "Usage.h"
#include "eeprom.h"

namespace {

const char* const PROGRAM = "tarvo-settings";
const unsigned EEPROM_SIZE = 1680;  // 28 logical pages of 60 bytes

const char* const HELP_TEXT =
    "Usage: tarvo-settings COMMAND [ARGUMENT...]\n"
    "Inspect and edit adapter setting files (the 4096-byte images that\n"
    "'tarvo -s' saves and 'tarvo -u' installs).\n"
    "\n"
    "Commands:\n"
    "  show FILE                  Check the image; print its spare row, page map\n"
    "                             and the 1680 EEPROM bytes\n"
    "  default -o FILE            Write the factory-default settings\n"
    "  set FILE OFFSET HEXBYTES   Change EEPROM bytes from OFFSET (0 to 1679,\n"
    "                             decimal or 0x hex), e.g. set user.dat 0x78 00\n"
    "  format -o FILE             Write an empty, freshly formatted setting area\n"
    "  -h, --help                 Display this help text\n"
    "  --version                  Display the version\n"
    "\n"
    "Files are replaced only once the new image is complete.\n";

int fail(const std::string& message)
{
    fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    return 1;
}

int usageError(const std::string& message)
{
    return reportUsageError(PROGRAM, message, HelpHint::LongOnly);
}

bool parseOffset(const std::string& text, unsigned& offset)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value >= EEPROM_SIZE)
        return false;
    offset = static_cast<unsigned>(value);
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.empty() || text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hexDigitValue(text[i]);
        int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// Shared by the commands that take only "-o FILE".
bool outputOperand(const std::vector<std::string>& args, std::string& path)
{
    if (args.size() != 3 || args[1] != "-o" || args[2].empty())
        return false;
    path = args[2];
    return true;
}

int showCommand(const std::string& path)
{
    std::vector<uint8_t> original;
    status_code status;
    std::string error;
    if (!openSettingFile(path, original, status, error))
        return fail(error);
    if (status != STATUS_OK) {
        printf("%s: not a valid setting area: %s\n", path.c_str(), areaProblem(status).c_str());
        return 1;
    }
    printf("%s: valid setting area\n", path.c_str());
    printArea(original);
    return 0;
}

int defaultCommand(const std::string& path)
{
    std::string error;
    if (!writeFileAtomically(path, g_myData.data(), g_myData_Size, error))
        return fail(error);
    printf("%s: factory-default settings written\n", path.c_str());
    return 0;
}

int formatCommand(const std::string& path)
{
    memset(g_eeprom, 0xFF, sizeof(g_eeprom));
    // Opening a blank image fails but records the geometry formatting needs.
    eeprom_emulator_init();
    eeprom_emulator_erase_memory();
    status_code status = eeprom_emulator_init();
    if (status != STATUS_OK)
        return fail(std::string("formatting failed: ") + status_code_name(status));
    std::string error;
    if (!saveSettingFile(path, error))
        return fail(error);
    printf("%s: empty setting area written\n", path.c_str());
    return 0;
}

int setCommand(const std::string& path, const std::string& offsetText, const std::string& hexText)
{
    unsigned offset;
    if (!parseOffset(offsetText, offset))
        return usageError("bad OFFSET '" + offsetText + "': give 0 to 1679, decimal or 0x hex");
    std::vector<uint8_t> bytes;
    if (!parseHexBytes(hexText, bytes))
        return usageError("bad HEXBYTES '" + hexText + "': give pairs of hex digits, e.g. 4558");
    if (offset + bytes.size() > EEPROM_SIZE)
        return usageError(std::to_string(bytes.size()) + " bytes at offset " +
                          std::to_string(offset) + " run past the 1680 EEPROM bytes");

    std::vector<uint8_t> original;
    status_code status;
    std::string error;
    if (!openSettingFile(path, original, status, error))
        return fail(error);
    if (status != STATUS_OK)
        return fail(path + ": not a valid setting area: " + areaProblem(status) +
                    "; file left unchanged");

    status = eeprom_emulator_write_buffer(static_cast<uint16_t>(offset), bytes.data(),
                                          static_cast<uint16_t>(bytes.size()));
    eeprom_emulator_commit_page_buffer();
    if (status != STATUS_OK)
        return fail(path + ": writing the EEPROM bytes failed: " + writeProblem(status) +
                    "; file left unchanged");
    if (!saveSettingFile(path, error))
        return fail(error);
    printf("%s: %zu byte%s written at EEPROM offset %u\n", path.c_str(), bytes.size(),
           bytes.size() == 1 ? "" : "s", offset);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usageError("missing command");

    const std::string& command = args[0];
    std::string path;
    if (command == "-h" || command == "--help") {
        fputs(HELP_TEXT, stdout);
        return 0;
    }
    if (command == "--version") {
        printf("%s %s\n", PROGRAM, TARVO_VERSION);
        return 0;
    }
    if (command == "show") {
        if (args.size() != 2)
            return usageError("show takes one FILE");
        return showCommand(args[1]);
    }
    if (command == "set") {
        if (args.size() != 4)
            return usageError("set takes FILE OFFSET HEXBYTES");
        return setCommand(args[1], args[2], args[3]);
    }
    if (command == "default") {
        if (!outputOperand(args, path))
            return usageError("default takes -o FILE");
        return defaultCommand(path);
    }
    if (command == "format") {
        if (!outputOperand(args, path))
            return usageError("format takes -o FILE");
        return formatCommand(path);
    }
    return usageError("unknown command '" + command + "'");
}
