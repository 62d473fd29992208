#include "Progress.h"

#include <cstdio>

#include "Device.h"

void PrintedProgress::text(const std::string& text)
{
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

void PrintedProgress::stepStarted(const std::string& step, uint64_t)
{
    _blocks = 0;
    _blocksPerDot = step == phase::WRITE ? 16 : step == phase::WRITE_SETTINGS ? 1 : 0;
}

void PrintedProgress::stepProgress(uint64_t done, uint64_t)
{
    if (_blocksPerDot == 0)
        return;
    // A dot as each block whose number is a multiple of the step's is written.
    const uint64_t blocks = (done + device::BLOCK_SIZE - 1) / device::BLOCK_SIZE;
    for (; _blocks < blocks; _blocks++)
        if (_blocks % _blocksPerDot == 0)
            fputc('.', stdout);
    fflush(stdout);
}

void PrintedProgress::stepFinished()
{
    _blocksPerDot = 0;
}
