// Every fault the simulated adapter can inject, at each stage of -i, -s, -u
// and -f, through the driver in-process on the virtual clock. Each run must
// end as the protocol has it (an exception report and status 1; a refused
// connection; or success where a reply may stay silent or short), wait no
// longer than the windows of the commands left unanswered, and leave the
// flash as far as the run got: untouched before the erase, only the
// action's region changed, pages written in order, the bootloader never.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>

#include "Device.h"
#include "EEPROM_Init.h"
#include "FaultMatrix.h"
#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "SimClock.h"
#include "SimPortFactory.h"

namespace {

const std::string CONNECTING = "Try to open USB device ... ";
const std::string EXCEPTION = CONNECTING + "\nSAM-BA operation failed\n";
const std::string NO_DEVICE = CONNECTING + "No device found on SIM\n";
// Faults count commands from the connection: the client's first four are
// the identification and the version query.
constexpr size_t CONNECTION_COMMANDS = 4;

struct Outcome {
    TarvoRun run;
    uint64_t us;  // virtual time of the whole run
    std::shared_ptr<SimAdapter> adapter;
};

class FaultMatrix : public testing::Test {
protected:
    void SetUp() override
    {
        writeFile(_settings, Bytes(g_myData.begin(), g_myData.end()));
        writeFile(_warm, buildPackage(package(1)));
        writeFile(_hard, buildPackage(package(0)));
    }

    // A package for the simulated adapter's defaults (type E, 0x0203).
    static PackageFields package(uint8_t warmReset)
    {
        PackageFields p;
        p.type = 'E';
        p.hwVer.fill(0x0203);
        p.warmReset = warmReset;
        p.payload = patternBytes(device::romSize(device::CHIP_256K), 5);
        return p;
    }

    Job job(const char* name, std::vector<std::string> args, uint32_t from, uint32_t to,
            std::vector<Stage> stages, SimLink link = SimLink::Usb)
    {
        Job j{name, std::move(args), from, to, std::move(stages), SimOptions()};
        j.options.link = link;
        return j;
    }

    static Outcome run(const Job& j, const std::function<void(SimAdapter&)>& arm)
    {
        Outcome o;
        o.adapter = std::make_shared<SimAdapter>(j.options);
        arm(*o.adapter);
        SimPortFactory factory;
        factory.addAdapter("SIM", o.adapter);
        std::vector<std::string> args = {"-p", "SIM"};
        args.insert(args.end(), j.args.begin(), j.args.end());
        SimClockGuard clock;
        uint64_t start = SimClock::nowUs();
        o.run = runTarvoInProcess(args, factory);
        o.us = SimClock::nowUs() - start;
        return o;
    }

    // The flash as far as the run got, against the clean run and the image
    // the adapter started with.
    static void checkFlash(const Job& j, const Outcome& o, const Outcome& clean, bool untouched,
                           bool complete)
    {
        const SimRecord& r = o.adapter->record;
        const SimRecord& c = clean.adapter->record;
        const std::vector<uint8_t> initial = SimAdapter(j.options).flash();
        const std::vector<uint8_t>& flash = o.adapter->flash();
        EXPECT_TRUE(r.bootloaderTouches.empty());
        EXPECT_TRUE(std::equal(initial.begin(), initial.begin() + j.from, flash.begin()));
        EXPECT_TRUE(std::equal(initial.begin() + j.to, initial.end(), flash.begin() + j.to));
        ASSERT_LE(r.writtenPages.size(), c.writtenPages.size());
        EXPECT_TRUE(
            std::equal(r.writtenPages.begin(), r.writtenPages.end(), c.writtenPages.begin()))
            << "pages go in order";
        if (untouched) {
            EXPECT_TRUE(r.erasedRows.empty());
            EXPECT_TRUE(r.writtenPages.empty());
            EXPECT_EQ(flash, initial);
        } else if (!r.erasedRows.empty()) {
            EXPECT_EQ(r.erasedRows, c.erasedRows);
        }
        if (complete) {
            EXPECT_EQ(flash, clean.adapter->flash());
        }
    }

    void runMatrix(const Job& j)
    {
        const Outcome clean = run(j, [](SimAdapter&) {});
        ASSERT_EQ(clean.run.status, 0) << j.name << clean.run.out << clean.run.err;
        const std::vector<std::string>& commands = clean.adapter->record.commands;
        size_t firstErase = commands.size() + 1;
        for (size_t i = 0; i < commands.size() && firstErase > commands.size(); i++)
            if (commands[i][0] == 'X')
                firstErase = i + 1;

        for (const Stage& stage : j.stages) {
            const size_t n = commandNumber(commands, stage);
            ASSERT_GT(n, 0u) << j.name << ": no " << stage.prefix;
            const bool connecting = n <= CONNECTION_COMMANDS;
            for (Fault f : {Fault::Drop, Fault::Short, Fault::WrongLetter, Fault::GoneBefore}) {
                Expected e = expect(commands, n, f, connecting, j.options.chipId);
                if (!e.applies)
                    continue;
                SCOPED_TRACE(std::string(j.name) + ", " + stage.name + ", " + faultName(f));
                Outcome o = run(j, [&](SimAdapter& a) { arm(a.faults, f, n); });
                checkEnd(o, clean, e.end);
                EXPECT_LE(o.us, clean.us + e.extraUs);
                bool beforeErase = n < firstErase || (n == firstErase && f == Fault::GoneBefore);
                checkFlash(j, o, clean, e.end != End::Done && beforeErase, e.end == End::Done);
            }
        }
    }

    // Faults that hold for a whole run rather than one command.
    void runWholeRunFaults(const Job& j, const std::vector<WholeRunFault>& faults)
    {
        const Outcome clean = run(j, [](SimAdapter&) {});
        ASSERT_EQ(clean.run.status, 0) << j.name << clean.run.out << clean.run.err;
        for (const WholeRunFault& w : faults) {
            SCOPED_TRACE(std::string(j.name) + ", " + w.name);
            Outcome o = run(j, [&](SimAdapter& a) { w.arm(a.faults); });
            checkEnd(o, clean, w.end);
            EXPECT_LE(o.us, clean.us + w.extraUs);
            checkFlash(j, o, clean, false, w.end == End::Done);
        }
    }

    static void checkEnd(const Outcome& o, const Outcome& clean, End end)
    {
        switch (end) {
        case End::Done:
            EXPECT_EQ(o.run.status, 0);
            EXPECT_EQ(o.run.err, CONNECTING);
            break;
        case End::Exception:
            // What was printed before the failure stays; nothing follows it.
            EXPECT_EQ(o.run.status, 1);
            EXPECT_EQ(o.run.err, EXCEPTION);
            EXPECT_LE(o.run.out.size(), clean.run.out.size());
            EXPECT_EQ(clean.run.out.compare(0, o.run.out.size(), o.run.out), 0) << o.run.out;
            EXPECT_EQ(o.adapter->record.resets, 0u);
            break;
        case End::NoDevice:
            EXPECT_EQ(o.run.status, 1);
            EXPECT_EQ(o.run.err, NO_DEVICE);
            EXPECT_EQ(o.run.out, "");
            break;
        }
    }

    TempDir _dir;
    std::string _settings = _dir.path("settings.dat");
    std::string _saved = _dir.path("saved.dat");
    std::string _warm = _dir.path("warm.pkg");
    std::string _hard = _dir.path("hard.pkg");
};

const uint32_t BASE_256K = device::settingsBase(device::CHIP_256K);
const uint32_t END_256K = device::flashSize(device::CHIP_256K);

TEST_F(FaultMatrix, InformationReport)
{
    runMatrix(job("-i", {"-i", "-R"}, 0, 0,
                  {{"connection, identifier", "w00000000,4#", 1},
                   {"connection, CPU", "wE000ED00,4#", 1},
                   {"connection, version", "V#", 1},
                   {"identification", "w41002018,4#", 2},
                   {"report, version", "V#", 2},
                   {"report, words", "w0003EFF0,4#", 1},
                   {"power cycle", "w00000000,4#", -1}}));
}

TEST_F(FaultMatrix, SettingSave)
{
    runMatrix(job("-s", {"-s", _saved}, 0, 0,
                  {{"dump, first word", "w0003F000,4#", 1},
                   {"dump, last word", "w0003FFFC,4#", 1}}));
}

TEST_F(FaultMatrix, SettingUpdate)
{
    runMatrix(job("-u", {"-u", _settings}, BASE_256K, END_256K,
                  {{"erase", "X", 1},
                   {"staging", "S", 1},
                   {"copy source", "Y20000000,0#", 1},
                   {"copy", "Y0003F000,", 1},
                   {"last copy", "Y0003FFC0,", 1},
                   {"checksum", "Z", 1},
                   {"read-back", "R0003F001,", 1}}));
}

TEST_F(FaultMatrix, FirmwareUpdate)
{
    runMatrix(job("-f", {"-f", _warm}, device::FIRMWARE_BASE, BASE_256K,
                  {{"type gate", "w00000FF4,4#", 1},
                   {"erase", "X", 1},
                   {"preparation", "x#", 1},
                   {"staging", "S", 1},
                   {"copy source", "Y20000000,0#", 1},
                   {"copy", "Y00001000,", 1},
                   {"streaming, mid-way", "Y00020000,", 1},
                   {"checksum", "Z", 1},
                   {"verification", "Z", -1},
                   {"warm restart", "k1000,#", 1}}));
    runMatrix(job("-f, hard restart", {"-f", _hard}, device::FIRMWARE_BASE, BASE_256K,
                  {{"restart's identification", "w41002018,4#", -1},
                   {"restart", "WE000ED0C,05FA0004#", 1}}));
}

TEST_F(FaultMatrix, WholeRunFaults)
{
    const uint64_t eraseWindowUs = eraseWindowMs(device::CHIP_256K, device::FIRMWARE_BASE) * 1000;
    runWholeRunFaults(job("-i", {"-i"}, 0, 0, {}),
                      {{"no version reply", [](SimFaults& f) { f.noVersionReply = true; },
                        End::Exception, 100000}});
    runWholeRunFaults(job("-u", {"-u", _settings}, BASE_256K, END_256K, {}),
                      {{"silent erase", [](SimFaults& f) { f.silentErase = true; }, End::Done,
                        5000000}});
    runWholeRunFaults(
        job("-f", {"-f", _warm}, device::FIRMWARE_BASE, BASE_256K, {}),
        {{"silent erase", [](SimFaults& f) { f.silentErase = true; }, End::Done, eraseWindowUs},
         {"silent preparation", [](SimFaults& f) { f.silentInitD = true; }, End::Done, 5000000}});
    // XMODEM: a block refused four times still goes; a fifth refusal ends
    // the run. The host never reads blocks, so a corrupt sent block never
    // reaches it.
    auto refused = [](uint32_t times) {
        return [times](SimFaults& f) {
            f.nakBlock = 10;
            f.nakTimes = times;
        };
    };
    runWholeRunFaults(
        job("-u over a UART", {"-u", _settings}, BASE_256K, END_256K, {}, SimLink::Uart),
        {{"block refused 4 times", refused(4), End::Done, 0},
         {"block refused 5 times", refused(5), End::Exception, 0},
         // The read-back comes as one block read: its blocks may be resent.
         {"read-back block corrupt 4 times",
          [](SimFaults& f) {
              f.corruptBlock = 1;
              f.corruptTimes = 4;
          },
          End::Done, 2000000},
         {"read-back block corrupt 5 times",
          [](SimFaults& f) {
              f.corruptBlock = 1;
              f.corruptTimes = 5;
          },
          End::Exception, 2000000}});
}

// The real programs: the adapter's terminal goes away while a firmware
// image streams (tarvo-sim killed). The run ends at once with the exception
// report instead of waiting on a line that is gone.
TEST(FaultMatrixEndToEnd, AdapterDisappearingMidStream)
{
    TempDir dir;
    const std::string pkg = dir.path("fw.pkg");
    PackageFields p;
    p.type = 'E';
    p.hwVer.fill(0x0203);
    p.payload = patternBytes(device::romSize(device::CHIP_128K), 9);
    writeFile(pkg, buildPackage(p));

    // Slow pages keep the stream going for seconds after its first dot.
    ChildProcess sim({binPath("tarvo-sim"), "--chip=128k", "--page-us=2000"});
    ASSERT_TRUE(sim.waitForOutput("\n", 10000));
    const std::string tty = sim.out().substr(0, sim.out().find('\n'));
    ChildProcess tarvo({binPath("tarvo"), "-p", tty, "-f", pkg});
    ASSERT_TRUE(tarvo.waitForOutput("Updating firmware, please wait .", 30000)) << tarvo.out();
    sim.signal(SIGKILL);
    sim.finish(10000);

    ProcessResult r = tarvo.finish(30000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, EXCEPTION);
    EXPECT_EQ(r.out.find("Done"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("done in"), std::string::npos) << r.out;
}

}  // namespace
