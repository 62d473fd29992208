// Blocking pauses and the elapsed-time clock go through hooks, so that tests
// running against the in-process adapter can use a virtual clock instead of
// sleeping and reading the real one.
#pragma once

#include <cstdint>

using PauseHook = void (*)(unsigned milliseconds);
using ClockHook = uint64_t (*)();

void pause_ms(unsigned milliseconds);
// Installs a replacement (nullptr restores real sleeping); returns the old one.
PauseHook set_pause_hook(PauseHook hook);

// Milliseconds on a steady clock, for limits on how long something may take.
uint64_t clock_ms();
// Installs a replacement (nullptr restores the steady clock); returns the old one.
ClockHook set_clock_hook(ClockHook hook);
