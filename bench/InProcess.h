// The client and the simulated adapter in one process on the virtual
// clock: no real I/O and no waiting, so what is left is CPU time.
#pragma once

#include <string>

struct InProcessFigures {
    bool ok = false;
    double perBlock = 0;     // CPU seconds per 64-byte firmware block (stage, copy)
    double perWord = 0;      // CPU seconds per setting-area word read
};

InProcessFigures measureInProcess();

// CPU seconds of a whole `tarvo -f PACKAGE` run through the driver, on the
// larger chip; -1 when it does not end with status 0.
double installCpuSeconds(const std::string& package);
