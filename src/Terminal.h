// What the programs that draw progress need to know of the system: whether
// standard output is a terminal, and the time in UTC.
#pragma once

#include <ctime>

bool stdoutIsTerminal();
// A terminal that takes ANSI cursor movements (a Windows console may not).
bool stdoutTakesCursorMoves();
// false when the system cannot say.
bool utcTime(std::time_t when, std::tm& utc);
