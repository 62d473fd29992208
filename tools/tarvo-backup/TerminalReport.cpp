#include "TerminalReport.h"

#include <cstdio>

#include "Terminal.h"

namespace {

// Without a terminal, one dot per this many bytes.
constexpr uint64_t DOT_BYTES = 16384;

}  // namespace

TerminalReport::TerminalReport() : _terminal(stdoutIsTerminal()) {}

void TerminalReport::text(const std::string& lines)
{
    fputs(lines.c_str(), stdout);
    fflush(stdout);
}

void TerminalReport::stepStarted(const std::string& step, uint64_t total)
{
    _step = step;
    _start = std::chrono::steady_clock::now();
    _dots = 0;
    if (!_terminal)
        printf("%s ", _step.c_str());
    stepProgress(0, total);
}

void TerminalReport::stepProgress(uint64_t done, uint64_t total)
{
    if (_terminal) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
        double rate = seconds > 0 ? done / seconds / 1024 : 0;
        int percent = total ? static_cast<int>(done * 100 / total) : 100;
        printf("\r%s %3d%%  %llu/%llu bytes  %.1f KB/s   ", _step.c_str(), percent,
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
               rate);
    } else {
        for (; _dots * DOT_BYTES < done; _dots++)
            printf(".");
    }
    fflush(stdout);
}

void TerminalReport::stepFinished()
{
    printf("\n");
    fflush(stdout);
}

bool TerminalReport::stopRequested()
{
    return false;
}
