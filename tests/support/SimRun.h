// Runs the real tarvo against tarvo-sim on a pseudo-terminal.
#pragma once

#include <string>
#include <vector>

#include "ChildProcess.h"

struct SimRun {
    ProcessResult result;  // the tarvo run's output; tarvo-sim's path line removed
    std::string tty;       // the terminal it was served on
};

// tarvo-sim SIM_OPTIONS -- tarvo -p {} TARVO_ARGS
SimRun runAgainstSim(const std::vector<std::string>& simOptions,
                     const std::vector<std::string>& tarvoArgs, int timeoutMs = 120000);
// The same with another program of this tree in tarvo's place.
SimRun runProgramAgainstSim(const std::string& program, const std::vector<std::string>& simOptions,
                            const std::vector<std::string>& args, int timeoutMs = 120000);
