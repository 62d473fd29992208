#include "Terminal.h"

#include <io.h>

#include <cstdio>

bool stdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

bool stdoutTakesCursorMoves()
{
    // The console may not take them; plain lines there.
    return false;
}

bool utcTime(std::time_t when, std::tm& utc)
{
    return gmtime_s(&utc, &when) == 0;
}
