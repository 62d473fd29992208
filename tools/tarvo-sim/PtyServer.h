// Serves a simulated adapter on a pseudo-terminal, in real time.
#pragma once

#include <string>
#include <vector>

#include "SimAdapter.h"

struct ServeOptions {
    std::string stateFile;   // flash image kept across runs ("" = none)
    std::string statsFile;   // counters written at exit ("" = none)
    std::string linkPath;    // symlink made to the terminal ("" = none)
    std::vector<std::string> command;  // run with "{}" replaced; empty = serve until killed
};

// Returns the program's exit status: the command's, or 128 + N when ended by
// signal N (SIGINT, SIGTERM, SIGHUP), after stopping the command.
int servePty(SimAdapter& adapter, const ServeOptions& options);
