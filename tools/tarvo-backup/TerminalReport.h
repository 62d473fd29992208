// How tarvo-backup shows a backup procedure: its text on standard output,
// a progress bar on a terminal, otherwise a dot per 16 KB.
#pragma once

#include <chrono>
#include <string>

#include "backup/Backup.h"

class TerminalReport : public backup::Report {
public:
    TerminalReport();
    void text(const std::string& lines) override;
    void stepStarted(const std::string& step, uint64_t total) override;
    void stepProgress(uint64_t done, uint64_t total) override;
    void stepFinished() override;
    bool stopRequested() override;

private:
    bool _terminal;
    std::string _step;
    std::chrono::steady_clock::time_point _start;
    uint64_t _dots = 0;
};
