// How every program ends a usage error: what was wrong, then where the help is.
#pragma once

#include <string>

// Which help options the hint line names.
enum class HelpHint {
    LongOnly,      // "Try 'P --help' ..."
    ShortAndLong,  // "Try 'P -h' or 'P --help' ..."
};

// The hint line alone, on standard error.
void tryHelp(const char* program, HelpHint hint);

// "program: message" and the hint line, on standard error; returns status.
int reportUsageError(const char* program, const std::string& message, HelpHint hint,
                     int status = 1);
