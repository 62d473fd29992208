// Arbitrary argument vectors through the option parser: NUL-separated
// arguments, at most 32 of them.
#include <getopt.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "CmdOpts.h"
#include "TarvoXcon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args = {"tarvo"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 32; i++) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() && args.size() < 32)
        args.push_back(current);

    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    optind = 0;
    opterr = 0;
    CmdOpts cmd(static_cast<int>(args.size()), argv.data(), NUM_OPTS, opts);
    int result = cmd.parse();
    // The operand index must point into the (permuted) vector.
    if (result != -1 && (result < 1 || result > static_cast<int>(args.size())))
        __builtin_trap();
    return 0;
}
