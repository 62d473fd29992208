#include "Terminal.h"

#include <unistd.h>

bool stdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool stdoutTakesCursorMoves()
{
    return stdoutIsTerminal();
}

bool utcTime(std::time_t when, std::tm& utc)
{
    return gmtime_r(&when, &utc) != nullptr;
}
