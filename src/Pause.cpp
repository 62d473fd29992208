#include "Pause.h"

#include <chrono>
#include <thread>

namespace {
PauseHook g_pause_hook = nullptr;
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
