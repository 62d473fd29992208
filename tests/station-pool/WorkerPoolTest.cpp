// A pool that runs for weeks holds only its running workers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>

#include "Station.h"
#include "WorkerPool.h"

static long threadsOfThisProcess()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

TEST(StationPool, TenThousandWorkersLeaveNothingBehind)
{
    // Behind the tests that keep a monitor's 100 ms windows on this machine.
    ASSERT_NE(nice(10), -1);
    // printf stands in for a worker: a protocol line and one of its own.
    WorkerPool pool("/usr/bin/printf");
    const std::vector<std::string> args = {"%s\\nplain text\\n", std::string(1, PROTOCOL_MARK) +
                                           "{\"event\":\"adapter\",\"serial\":\"\\u00ff\"}"};
    const long threads = threadsOfThisProcess();
    int started = 0, ended = 0, adapters = 0, mostHeld = 0;
    while (ended < 10000) {
        for (std::string error; started < 10000 && started - ended < 16; started++)
            ASSERT_GE(pool.start(args, error), 0) << error;
        WorkerEvent event;
        ASSERT_TRUE(pool.next(event, 10000));
        mostHeld = std::max(mostHeld, static_cast<int>(pool.held()));
        adapters += !event.ended && event.fields["serial"] == "\xFF";
        if (event.ended) {
            ended++;
            ASSERT_EQ(event.end.how + "; " + event.text, "exit status 0; plain text\n");
        }
    }
    EXPECT_EQ(adapters, 10000);
    EXPECT_LE(mostHeld, 16);
    EXPECT_EQ(pool.held() + pool.running(), 0u);
    EXPECT_EQ(threadsOfThisProcess(), threads);

    // One that cannot be started is said, and nothing is held for it.
    WorkerPool missing("/no/such/program");
    std::string error;
    EXPECT_EQ(missing.start({}, error), -1);
    EXPECT_NE(error.find("/no/such/program"), std::string::npos) << error;
    EXPECT_EQ(missing.held(), 0u);
}
