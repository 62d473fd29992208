// A process-wide virtual clock for in-process runs against the simulated
// adapter: it moves only when a simulated read waits or a pause is made,
// so that the protocol's long windows cost no real time.
#pragma once

#include <cstdint>

class SimClock {
public:
    static uint64_t nowUs();
    static void advanceUs(uint64_t us);
    // Moves to the given time; the clock never goes back.
    static void advanceToUs(uint64_t us);
};

// While at least one guard lives, pause_ms advances the virtual clock
// instead of sleeping, and clock_ms reads it. Guards nest; the last one puts the old hook back.
class SimClockGuard {
public:
    SimClockGuard();
    ~SimClockGuard();
    SimClockGuard(const SimClockGuard&) = delete;
    SimClockGuard& operator=(const SimClockGuard&) = delete;
};
