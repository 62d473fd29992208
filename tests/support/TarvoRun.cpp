#include "TarvoRun.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <regex>

#include "TarvoXcon.h"

TarvoRun runTarvoInProcess(std::vector<std::string> args, PortFactoryBase& factory)
{
    args.insert(args.begin(), "tarvo");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    optind = 0;  // getopt_long starts afresh
    config = TarvoConfig();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = tarvo_main(static_cast<int>(args.size()), argv.data(), factory);
    TarvoRun run{status, testing::internal::GetCapturedStdout(),
                 testing::internal::GetCapturedStderr()};
    // The action timer measures real time.
    run.out = std::regex_replace(run.out, std::regex("done in +[0-9.]+ seconds"),
                                 "done in T seconds");
    return run;
}
