// Table-driven command-line parser over the platform's getopt_long.
#pragma once

#include <cstdio>
#include <string>

enum ArgHas { ArgNone = 0, ArgOptional = 1, ArgRequired = 2 };
enum ArgType { ArgInt = 0, ArgString = 1 };

struct OptArg {
    ArgHas has;
    ArgType type;
    const char* name;  // placeholder shown in the listing
    union {
        void* voidPtr;
        int* intPtr;
        std::string* strPtr;
    } value;
};

struct Option {
    char letter;
    const char* name;
    bool* present;
    OptArg arg;
    const char* help;
};

class CmdOpts {
public:
    CmdOpts(int argc, char** argv, int numOpts, Option* opts);
    virtual ~CmdOpts();

    // Index of the first operand (argc when none), or -1 when getopt_long
    // rejected an option (it has printed its diagnostic).
    int parse();
    void usage(FILE* out);
    int find(char letter);

private:
    int _argc;
    char** _argv;
    int _numOpts;
    Option* _opts;
};
