// Windows: 1 ms timer ticks for the life of the program.
#pragma once

#include "files/WinApi.h"

// At the default timer resolution Sleep(1) lasts a whole tick, up to 15.6 ms,
// and a firmware install pauses once per block; ask for 1 ms ticks while we run.
class WinTimerResolution {
public:
    WinTimerResolution() : _raised(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~WinTimerResolution()
    {
        if (_raised)
            timeEndPeriod(1);
    }
    WinTimerResolution(const WinTimerResolution&) = delete;
    WinTimerResolution& operator=(const WinTimerResolution&) = delete;

private:
    bool _raised;
};
