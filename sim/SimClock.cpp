#include "SimClock.h"

#include "Pause.h"

namespace {

uint64_t g_nowUs = 0;
unsigned g_guards = 0;
PauseHook g_savedHook = nullptr;
ClockHook g_savedClock = nullptr;

void virtualPause(unsigned milliseconds)
{
    SimClock::advanceUs(static_cast<uint64_t>(milliseconds) * 1000);
}

uint64_t virtualClockMs() { return SimClock::nowUs() / 1000; }

}  // namespace

uint64_t SimClock::nowUs() { return g_nowUs; }

void SimClock::advanceUs(uint64_t us) { g_nowUs += us; }

void SimClock::advanceToUs(uint64_t us)
{
    if (us > g_nowUs)
        g_nowUs = us;
}

SimClockGuard::SimClockGuard()
{
    if (g_guards++ == 0) {
        g_savedHook = set_pause_hook(virtualPause);
        g_savedClock = set_clock_hook(virtualClockMs);
    }
}

SimClockGuard::~SimClockGuard()
{
    if (--g_guards == 0) {
        set_pause_hook(g_savedHook);
        set_clock_hook(g_savedClock);
    }
}
