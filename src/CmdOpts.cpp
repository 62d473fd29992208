#include "CmdOpts.h"

#include <getopt.h>

#include <cassert>
#include <cstdlib>
#include <vector>

CmdOpts::CmdOpts(int argc, char** argv, int numOpts, Option* opts)
    : _argc(argc), _argv(argv), _numOpts(numOpts), _opts(opts)
{
}

CmdOpts::~CmdOpts() {}

int CmdOpts::parse()
{
    std::vector<option> longOpts(_numOpts + 1);
    std::string shortOpts;
    shortOpts.reserve(3 * _numOpts + 1);

    for (int i = 0; i < _numOpts; i++) {
        Option& opt = _opts[i];
        *opt.present = false;
        shortOpts += opt.letter;
        longOpts[i].name = opt.name;
        longOpts[i].flag = nullptr;
        // Entries that differ in val are what getopt_long needs to call a
        // shared prefix ambiguous; with one val for all it takes the first.
        longOpts[i].val = static_cast<unsigned char>(opt.letter);
        switch (opt.arg.has) {
        case ArgRequired:
            shortOpts += ':';
            longOpts[i].has_arg = required_argument;
            break;
        case ArgOptional:
            shortOpts += "::";
            longOpts[i].has_arg = optional_argument;
            break;
        case ArgNone:
            longOpts[i].has_arg = no_argument;
            break;
        }
    }
    longOpts[_numOpts] = option{nullptr, 0, nullptr, 0};

    for (;;) {
        int result = getopt_long(_argc, _argv, shortOpts.c_str(), longOpts.data(), nullptr);
        if (result == -1)
            return optind;
        if (result == '?')
            return -1;
        int optIdx = find(static_cast<char>(result));
        assert(optIdx >= 0 && optIdx < _numOpts);

        Option& opt = _opts[optIdx];
        *opt.present = true;
        if (opt.arg.has != ArgNone && optarg != nullptr) {
            if (opt.arg.type == ArgInt)
                *opt.arg.value.intPtr = static_cast<int>(strtol(optarg, nullptr, 0));
            else
                *opt.arg.value.strPtr = optarg;
        }
    }
}

void CmdOpts::usage(FILE* out)
{
    for (int i = 0; i < _numOpts; i++) {
        const Option& opt = _opts[i];
        char column[40];
        switch (opt.arg.has) {
        case ArgOptional:
            snprintf(column, sizeof(column), "  -%c, --%s[=%s]", opt.letter, opt.name, opt.arg.name);
            break;
        case ArgRequired:
            snprintf(column, sizeof(column), "  -%c, --%s=%s", opt.letter, opt.name, opt.arg.name);
            break;
        default:
            snprintf(column, sizeof(column), "  -%c, --%s", opt.letter, opt.name);
            break;
        }
        fprintf(out, "%-23s ", column);

        std::string help = opt.help;
        std::string::size_type start = 0, nl;
        while ((nl = help.find('\n', start)) != std::string::npos) {
            fprintf(out, "%s", help.substr(start, nl - start + 1).c_str());
            fprintf(out, "%24s", "");
            start = nl + 1;
        }
        fprintf(out, "%s\n", help.c_str() + start);
    }
}

int CmdOpts::find(char letter)
{
    int i = 0;
    while (i < _numOpts && _opts[i].letter != letter)
        i++;
    return i;
}
