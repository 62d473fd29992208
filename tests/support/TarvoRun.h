// Runs the driver in-process over a port factory, capturing what it prints.
#pragma once

#include <memory>
#include <string>
#include <vector>

class PortFactoryBase;

struct TarvoRun {
    int status;
    std::string out;  // with every timing line as "done in T seconds"
    std::string err;
};

// args without the program name, which is "tarvo".
TarvoRun runTarvoInProcess(std::vector<std::string> args, PortFactoryBase& factory);
