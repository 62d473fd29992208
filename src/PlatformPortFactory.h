// The platform being built for, as the mains need it: the one place that
// chooses the port factory (and what a program holds while it runs).
#pragma once

#include "PortFactory.h"

#if defined(_WIN32)
#include "WinPortFactory.h"
#include "WinTimerResolution.h"
using PlatformTimerResolution = WinTimerResolution;
#else
#include "PosixPortFactory.h"
// POSIX sleeps are fine-grained already.
struct PlatformTimerResolution {
    PlatformTimerResolution() {}
};
#endif
