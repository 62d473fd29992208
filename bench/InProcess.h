// The client and the simulated adapter in one process on the virtual
// clock: no real I/O and no waiting, so what is left is CPU time.
#pragma once

struct InProcessFigures {
    bool ok = false;
    double perBlock = 0;     // CPU seconds per 64-byte firmware block (stage, copy)
    double perWord = 0;      // CPU seconds per setting-area word read
};

InProcessFigures measureInProcess();
