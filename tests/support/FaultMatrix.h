// The fault matrix's vocabulary: which command a fault hits, and how the
// protocol says a run must end when it does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimAdapter.h"
#include "TarvoRun.h"

// One command's fault: its reply dropped, cut to its first byte, its letter
// in the wrong case, or the adapter gone before the command arrives.
enum class Fault { Drop, Short, WrongLetter, GoneBefore };

enum class End {
    Done,       // the protocol takes the fault in its stride
    Exception,  // "SAM-BA operation failed", status 1
    NoDevice,   // the connection is refused, status 1
};

// A command of a run: the occurrence-th command starting with prefix,
// counting from 1, or from the end when negative.
struct Stage {
    const char* name;
    const char* prefix;
    int occurrence;
};

// One action as the matrix runs it, and the flash region it may change.
struct Job {
    const char* name;
    std::vector<std::string> args;
    uint32_t from, to;
    std::vector<Stage> stages;
    SimOptions options;
};

struct WholeRunFault {
    const char* name;
    std::function<void(SimFaults&)> arm;
    End end;
    uint64_t extraUs;  // the longest wait the fault may add
};

struct Expected {
    bool applies;      // false: the fault cannot reach this command's reply
    End end;
    uint64_t extraUs;  // the waits it adds: the windows left unanswered
};

// The number faults give the command (from 1), or 0 when there is none.
size_t commandNumber(const std::vector<std::string>& commands, const Stage& stage);

// How a run of the clean command sequence ends with fault f on command n of
// a chip's adapter; connecting: n is one of the connection's commands.
Expected expect(const std::vector<std::string>& commands, size_t n, Fault f, bool connecting,
                uint32_t chip);

void arm(SimFaults& faults, Fault f, size_t n);
const char* faultName(Fault f);

// How long the client waits for an erase from start, setting area kept.
uint64_t eraseWindowMs(uint32_t chip, uint32_t start);
