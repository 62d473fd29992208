#include "SimRun.h"

SimRun runAgainstSim(const std::vector<std::string>& simOptions,
                     const std::vector<std::string>& tarvoArgs, int timeoutMs)
{
    return runProgramAgainstSim("tarvo", simOptions, tarvoArgs, timeoutMs);
}

SimRun runProgramAgainstSim(const std::string& program, const std::vector<std::string>& simOptions,
                            const std::vector<std::string>& tarvoArgs, int timeoutMs)
{
    std::vector<std::string> argv = {binPath("tarvo-sim")};
    argv.insert(argv.end(), simOptions.begin(), simOptions.end());
    argv.push_back("--");
    argv.push_back(binPath(program));
    argv.push_back("-p");
    argv.push_back("{}");
    argv.insert(argv.end(), tarvoArgs.begin(), tarvoArgs.end());

    SimRun run;
    run.result = runProcess(argv, timeoutMs);
    std::string& out = run.result.out;
    size_t nl = out.find('\n');
    if (nl != std::string::npos) {
        run.tty = out.substr(0, nl);
        out.erase(0, nl + 1);
    }
    return run;
}
