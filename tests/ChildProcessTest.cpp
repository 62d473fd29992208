// The child-process seam as the tests, the bench and the station's workers
// use it: the two outputs apart, how a child ended, the time limit, waiting
// without reaping, and what the child used.
#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"

namespace {

ProcessResult shell(const std::string& script, int timeoutMs = 20000)
{
    return runProcess({"/bin/sh", "-c", script}, timeoutMs);
}

TEST(ChildProcess, ReportsItsOutputsAndHowItEnded)
{
    struct Case {
        const char* script;
        int timeoutMs;
        int status;
        bool timedOut;
        const char* how, *out, *err;
    };
    const Case cases[] = {
        {"echo out; echo err >&2; exit 3", 20000, 3, false, "exit status 3", "out\n", "err\n"},
        {"echo early; kill -TERM $$", 20000, -1, false, "killed by signal 15", "early\n", ""},
        // Its output still open, so only the time limit ends it.
        {"echo started; exec sleep 30", 300, -1, true, "timed out, killed by signal 9", "started\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const ProcessResult r = shell(c.script, c.timeoutMs);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.timedOut, c.timedOut);
        EXPECT_EQ(r.how, c.how);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_LT(r.wallSeconds, 20.0);
    }
}

TEST(ChildProcess, EndsUnreapedWhileItsOutputIsCollectedAndCountsItsWork)
{
    ChildProcess child({"/bin/sh", "-c",
                        "echo ready; i=0; "
                        "while [ $i -lt 100000 ]; do i=$((i+1)); done; echo done"});
    ASSERT_TRUE(child.waitForOutput("ready\n", 10000)) << child.out();
    const long pid = child.pid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(child.ended(30000));
    // Ended but not reaped: its pid is still its own, a zombie's.
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0);
    EXPECT_EQ(child.out(), "ready\ndone\n");
    const ProcessResult r = child.finish(1000);
    EXPECT_EQ(r.status, 0);
    EXPECT_GT(r.cpuSeconds, 0.0);
    EXPECT_GT(r.peakKb, 0);
}

}  // namespace
