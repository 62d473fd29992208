// A pool that runs for weeks: each worker is let go when its end is handed
// on, so what the pool holds stays flat however many have run.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Station.h"
#include "WorkerPool.h"

namespace {

size_t threadsOfThisProcess()
{
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

TEST(StationPool, TenThousandWorkersLeaveNothingBehind)
{
    // Ten thousand processes in a row: behind the tests that keep a
    // monitor's 100 ms windows on the same machine.
    ASSERT_NE(nice(10), -1);
    // printf stands in for a worker: one protocol line, one line of its own.
    WorkerPool pool("/usr/bin/printf");
    const std::vector<std::string> args = {
        "%s\\nplain text\\n", std::string(1, PROTOCOL_MARK) + "{\"event\":\"adapter\",\"serial\":\"\\u00ff\"}"};
    const size_t baseline = threadsOfThisProcess();
    constexpr int TOTAL = 10000, AT_ONCE = 16;
    int started = 0, ended = 0, adapters = 0, mostHeld = 0;
    while (ended < TOTAL) {
        for (; started < TOTAL && started - ended < AT_ONCE; started++) {
            std::string error;
            ASSERT_GE(pool.start(args, error), 0) << error;
        }
        WorkerEvent event;
        ASSERT_TRUE(pool.next(event, 10000));
        mostHeld = std::max(mostHeld, static_cast<int>(pool.held()));
        if (!event.ended) {
            adapters += event.fields["serial"] == "\xFF";
            continue;
        }
        ended++;
        ASSERT_EQ(event.end.how, "exit status 0");
        ASSERT_EQ(event.text, "plain text\n");
    }
    EXPECT_EQ(adapters, TOTAL);
    EXPECT_LE(mostHeld, AT_ONCE);
    EXPECT_EQ(pool.held(), 0u);
    EXPECT_EQ(pool.running(), 0u);
    EXPECT_EQ(threadsOfThisProcess(), baseline);

    // A worker that cannot be started is said, and the pool goes on.
    WorkerPool missing("/no/such/program");
    std::string error;
    EXPECT_EQ(missing.start({}, error), -1);
    EXPECT_NE(error.find("/no/such/program"), std::string::npos) << error;
    EXPECT_EQ(missing.held(), 0u);
}

}  // namespace
