// The real programs over a pseudo-terminal: tarvo against tarvo-sim.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "Device.h"
#include "Pty.h"
#include "SimRun.h"

namespace {

const std::string INFO_REPORT_HEAD = "\nBootloader Version: v1.1 Mar 12 2019 VMD\n";

std::string reportBody(const std::string& sn, const std::string& pcb, const std::string& fw,
                       const std::string& rom, int pre0, int pre1, char type)
{
    return "Adapter SN: " + sn + " , PCB Ver: 0x" + pcb + "\nFirmware Version: 0x" + fw +
           "\nROM Version: 0x" + rom + "\nPre0=" + std::to_string(pre0) +
           ", Pre1=" + std::to_string(pre1) + "\nType=" + std::string(1, type) + "\n";
}

// The timing line's figure varies; everything else is compared exactly.
std::string maskTiming(std::string s)
{
    const std::string key = "done in ";
    for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + 1))
        s.replace(at + key.size(), 5, "#.###");
    return s;
}

TEST(EndToEnd, InfoReportOnBothChipsAndLinks)
{
    // The worked example: identity 0x00450203, serial AB123456, version
    // words 0x0A030105 and 0x00004502.
    const std::string body = reportBody("AB123456", "0203", "0105", "03", 10, 2, 'E');
    for (std::string chip : {"256k", "128k"}) {
        for (std::string link : {"usb", "uart"}) {
            SimRun run = runAgainstSim({"--chip=" + chip, "--link=" + link, "--type=E"}, {"-i"});
            EXPECT_EQ(run.result.status, 0) << chip << " " << link << run.result.err;
            EXPECT_EQ(run.result.err, "Try to open USB device ... ") << chip << " " << link;
            EXPECT_EQ(maskTiming(run.result.out),
                      INFO_REPORT_HEAD + body + "done in #.### seconds\n")
                << chip << " " << link;
        }
    }
}

TEST(EndToEnd, InfoReportPrintsStoredBytesUnchanged)
{
    SimRun run = runAgainstSim({"--hw-version=0x5678", "--serial=XY", "--fw-version=0xFF000000",
                                "--fw-extra=0x4B07", "--chip=128k"},
                               {"-i"});
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(maskTiming(run.result.out),
              INFO_REPORT_HEAD + reportBody("XY", "5678", "0000", "00", 255, 7, 'K') +
                  "done in #.### seconds\n");
}

TEST(EndToEnd, ResetComesAfterTheReport)
{
    SimRun run = runAgainstSim({"--stats=/dev/stdout"}, {"-R", "-i"});
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    const std::string& out = run.result.out;
    size_t report = out.find("Type=E\ndone in ");
    size_t reset = out.find("CPU reset.\n");
    ASSERT_NE(report, std::string::npos) << out;
    ASSERT_NE(reset, std::string::npos) << out;
    EXPECT_LT(report, reset);
    EXPECT_NE(out.find("resets 1\n"), std::string::npos) << out;
}

TEST(EndToEnd, UnsupportedChipIsRefused)
{
    SimRun run = runAgainstSim({"--chip=0x1001030C"}, {"-i", "-R"});
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "Try to open USB device ... No device found on " + run.tty + "\n");
}

TEST(EndToEnd, PortWithoutAdapterOrNotATerminal)
{
    // A terminal nobody answers on: both connection attempts time out.
    Pty silent = Pty::open();
    ASSERT_FALSE(silent.path.empty());
    std::string missing = "/nonexistent/ttyX";
    for (const std::string& port : {silent.path, missing, std::string("/dev/null")}) {
        ProcessResult r = runProcess({binPath("tarvo"), "-p", port, "-i"}, 30000);
        EXPECT_EQ(r.status, 1) << port;
        EXPECT_EQ(r.out, "") << port;
        EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + port + "\n") << port;
    }
}

// A terminal that never falls quiet. Given up in about 3.5 s; the 30 s limit
// only catches a hang such as the 94 s the unbounded drains took.
TEST(EndToEnd, TricklingTerminalIsGivenUp)
{
    SimRun run = runAgainstSim({"--trickle"}, {"-i"}, 30000);
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "Try to open USB device ... No device found on " + run.tty + "\n");
}

TEST(EndToEnd, MonitorFailureDuringReportEndsTheRun)
{
    // Commands 1 to 4 are the connection (three identifier reads, the
    // version query), 5 to 7 the driver's chip check, 8 the report's version
    // query: command 9 is the report's first word read.
    SimRun run = runAgainstSim({"--drop-reply=9"}, {"-i", "-R"});
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.out.find("done in"), std::string::npos) << run.result.out;
    EXPECT_EQ(run.result.out.find("CPU reset."), std::string::npos);
    EXPECT_EQ(run.result.err, "Try to open USB device ... \nSAM-BA operation failed\n");
}

TEST(EndToEnd, StateFileCarriesFlashAcrossRuns)
{
    char path[] = "/tmp/tarvo-sim-stateXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::remove(path);  // first run starts from the built-in image and creates it

    SimRun first = runAgainstSim({std::string("--state=") + path}, {"-i"});
    EXPECT_EQ(first.result.status, 0);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(image.size(), 0x40000u);

    // A changed image is what the next run sees.
    image[device::IDENTITY_ADDR] = 0x34;
    image[device::IDENTITY_ADDR + 1] = 0x12;
    std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    SimRun second = runAgainstSim({std::string("--state=") + path}, {"-i"});
    EXPECT_NE(second.result.out.find("PCB Ver: 0x1234\n"), std::string::npos) << second.result.out;
    std::remove(path);
}

}  // namespace
