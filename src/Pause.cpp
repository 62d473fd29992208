#include "Pause.h"

#include <chrono>
#include <thread>

namespace {
PauseHook g_pause_hook = nullptr;
ClockHook g_clock_hook = nullptr;
}

void pause_ms(unsigned milliseconds)
{
    if (g_pause_hook) {
        g_pause_hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

PauseHook set_pause_hook(PauseHook hook)
{
    PauseHook old = g_pause_hook;
    g_pause_hook = hook;
    return old;
}

uint64_t clock_ms()
{
    if (g_clock_hook)
        return g_clock_hook();
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

ClockHook set_clock_hook(ClockHook hook)
{
    ClockHook old = g_clock_hook;
    g_clock_hook = hook;
    return old;
}
