#include "Usage.h"

#include <cstdio>

void tryHelp(const char* program, HelpHint hint)
{
    if (hint == HelpHint::ShortAndLong)
        fprintf(stderr, "Try '%s -h' or '%s --help' for more information\n", program, program);
    else
        fprintf(stderr, "Try '%s --help' for more information\n", program);
}

int reportUsageError(const char* program, const std::string& message, HelpHint hint, int status)
{
    fprintf(stderr, "%s: %s\n", program, message.c_str());
    tryHelp(program, hint);
    return status;
}
