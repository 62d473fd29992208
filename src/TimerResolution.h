// Windows: 1 ms timer ticks for the life of the program.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>

// At the default timer resolution Sleep(1) lasts a whole tick, up to 15.6 ms,
// and a firmware install pauses once per block; ask for 1 ms ticks while we run.
class TimerResolution {
public:
    TimerResolution() : _raised(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~TimerResolution()
    {
        if (_raised)
            timeEndPeriod(1);
    }
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

private:
    bool _raised;
};
#endif
