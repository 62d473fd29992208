#include "FaultMatrix.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Device.h"

namespace {

constexpr uint64_t MS = 1000;
// A refused connection is tried once more at 115200 bit/s: the settling
// pause and the three auto-baud reads nobody answers.
constexpr uint64_t RETRY_US = (500 + 3 * 100) * MS;

bool noReply(char letter) { return letter == 'S' || letter == 'W' || letter == 'k'; }
// The erase and the preparation may stay silent.
bool silenceAccepted(char letter) { return letter == 'X' || letter == 'x'; }
bool letterChecked(char letter)
{
    return letter == 'X' || letter == 'Y' || letter == 'Z' || letter == 'x';
}

// The window the client gives the command's reply.
uint64_t windowUs(const std::string& command, bool connecting, uint32_t chip)
{
    switch (command[0]) {
    case 'w':
        return (connecting ? 100 : 1000) * MS;
    case 'R':
        return 1000 * MS;  // a block read's bytes, as a word's
    case 'V':
        return 100 * MS;
    case 'X': {
        uint32_t start = static_cast<uint32_t>(strtoul(command.c_str() + 1, nullptr, 16));
        bool withSettings = command[command.size() - 2] == '0';
        uint32_t rows = device::eraseRows(chip, start, withSettings);
        return std::max<uint64_t>(5000, rows * device::ROW_ERASE_MAX_MS + 1000) * MS;
    }
    case 'Y':
        return (command.size() == 12 ? 100 : 5000) * MS;  // the source step, or the copy
    case 'Z':
    case 'x':
        return 5000 * MS;
    }
    return 0;
}

}  // namespace

size_t commandNumber(const std::vector<std::string>& commands, const Stage& stage)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < commands.size(); i++)
        if (commands[i].compare(0, strlen(stage.prefix), stage.prefix) == 0)
            found.push_back(i + 1);
    int k = stage.occurrence > 0 ? stage.occurrence - 1
                                 : static_cast<int>(found.size()) + stage.occurrence;
    return k >= 0 && k < static_cast<int>(found.size()) ? found[static_cast<size_t>(k)] : 0;
}

Expected expect(const std::vector<std::string>& commands, size_t n, Fault f, bool connecting,
                uint32_t chip)
{
    const std::string& command = commands[n - 1];
    const char letter = command[0];
    const uint64_t window = windowUs(command, connecting, chip);
    // A connection that fails its identification is refused, not aborted.
    const Expected refused = {true, End::NoDevice, 2 * window + RETRY_US};
    switch (f) {
    case Fault::Drop:
        if (noReply(letter) || silenceAccepted(letter))
            return {true, End::Done, window};
        return connecting && letter == 'w' ? refused : Expected{true, End::Exception, window};
    case Fault::Short: {
        // The first byte arrives and the rest is waited for: the read pass
        // that got the byte runs out its window, then an empty one follows.
        const uint64_t waited = 2 * window;
        const Expected refusedShort = {true, End::NoDevice, 2 * waited + RETRY_US};
        if (noReply(letter))
            return {true, End::Done, 0};
        if (letter == 'X' || letter == 'Y' || letter == 'x')
            return {true, End::Done, waited};
        if (letter == 'V')  // a text without "VMD", or a shorter version shown
            return connecting ? refusedShort : Expected{true, End::Done, waited};
        return connecting ? refusedShort : Expected{true, End::Exception, waited};
    }
    case Fault::WrongLetter:
        return {letterChecked(letter), End::Exception, 0};
    case Fault::GoneBefore:
        break;
    }
    if (n < 2)
        return {false, End::Done, 0};
    // Nothing answers from command n on: the run waits out every window up
    // to the first command whose reply it cannot do without.
    uint64_t waited = 0;
    for (size_t i = n; i <= commands.size(); i++) {
        const std::string& c = commands[i - 1];
        bool inConnection = i <= 4;
        waited += windowUs(c, inConnection, chip);
        if (noReply(c[0]) || silenceAccepted(c[0]))
            continue;
        if (inConnection && c[0] == 'w')
            return {true, End::NoDevice, 2 * waited + RETRY_US};
        return {true, End::Exception, waited};
    }
    return {true, End::Done, waited};
}

void arm(SimFaults& faults, Fault f, size_t n)
{
    const uint32_t number = static_cast<uint32_t>(n);
    switch (f) {
    case Fault::Drop:
        faults.dropReplyOf = number;
        break;
    case Fault::Short:
        faults.shortReplyOf = number;
        faults.shortReplyKeep = 1;
        break;
    case Fault::WrongLetter:
        faults.wrongLetterOf = number;
        break;
    case Fault::GoneBefore:
        faults.goneAfter = number - 1;
        break;
    }
}

const char* faultName(Fault f)
{
    switch (f) {
    case Fault::Drop: return "reply dropped";
    case Fault::Short: return "reply cut short";
    case Fault::WrongLetter: return "wrong reply letter";
    case Fault::GoneBefore: return "adapter gone";
    }
    return "?";
}

uint64_t eraseWindowMs(uint32_t chip, uint32_t start)
{
    char command[16];
    snprintf(command, sizeof(command), "X%08X,1#", static_cast<unsigned>(start));
    return windowUs(command, false, chip) / MS;
}
