// Blocking pauses go through one hook, so that tests running against the
// in-process adapter can advance a virtual clock instead of sleeping.
#pragma once

using PauseHook = void (*)(unsigned milliseconds);

void pause_ms(unsigned milliseconds);
// Installs a replacement (nullptr restores real sleeping); returns the old one.
PauseHook set_pause_hook(PauseHook hook);
