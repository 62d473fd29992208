// tarvo-station against several tarvo-sim instances at once, each linked
// into one folder that --ports points at, beside ports with no adapter.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "StationFleet.h"

using namespace station_test;

namespace {

TEST(Station, ListShowsEveryAdapterAndWhyTheOtherPortsAreNot)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    fleet.start("b", {"--serial=SN000002", "--chip=128k", "--link=uart", "--hw-version=0x0301"});
    fleet.start("c", {"--serial=SN000003", "--type=K", "--fw-version=0x0B040107"});
    fleet.start("noise", {"--trickle"});
    fleet.silent("quiet");

    ProcessResult r = station({"list", "--ports=" + fleet.ports(), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Fields> adapters = objects(r.out, "adapter");
    ASSERT_EQ(adapters.size(), 3u) << r.out;
    struct Row {
        const char* serial;
        const char* port;
        const char* chip;
        const char* flash;
        const char* board;
        const char* type;
        const char* fwWord;
    };
    for (const Row& row : {Row{"SN000001", "a", "0x1001030A", "262144", "0x0203", "E", "0x0A030105"},
                           Row{"SN000002", "b", "0x1001030B", "131072", "0x0301", "E", "0x0A030105"},
                           Row{"SN000003", "c", "0x1001030A", "262144", "0x0203", "K", "0x0B040107"}}) {
        SCOPED_TRACE(row.serial);
        Fields f = bySerial(adapters, row.serial);
        EXPECT_EQ(f["port"], fleet.port(row.port));
        EXPECT_EQ(f["chip"], row.chip);
        EXPECT_EQ(f["flash"], row.flash);
        EXPECT_EQ(f["board"], row.board);
        EXPECT_EQ(f["type"], row.type);
        EXPECT_EQ(f["fw_word"], row.fwWord);
        EXPECT_EQ(f["fw_extra"], "0x00004502");
        EXPECT_NE(f["bootloader"].find("VMD"), std::string::npos);
    }
    std::map<std::string, std::string> status;
    for (const Fields& f : objects(r.out, "port"))
        status[f.at("port")] = f.at("status");
    EXPECT_EQ(status, (std::map<std::string, std::string>{{fleet.port("noise"), "not an adapter"},
                                                          {fleet.port("quiet"), "no answer"}}));

    // The same in words, one line a port in the order people count.
    ProcessResult text = station({"list", "--ports=" + fleet.ports()});
    ASSERT_EQ(text.status, 0);
    std::istringstream lines(text.out);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    ASSERT_EQ(got.size(), 5u) << text.out;
    EXPECT_EQ(got[0].rfind(fleet.port("a") + "  SN SN000001  PCB 0x0203  type E  chip 0x1001030A "
                                             "(256 KB)  firmware 0x0A030105 0x00004502  bootloader",
                           0),
              0u)
        << got[0];
    EXPECT_EQ(got[3], fleet.port("noise") + "  not an adapter");
    EXPECT_EQ(got[4], fleet.port("quiet") + "  no answer");
    expectKnownKeys(r.out);

    // ? is one character; a port named twice is probed once.
    ProcessResult some = station({"list", "--ports=" + fleet.port("?") + "," + fleet.port("a") +
                                              "," + fleet.port("quie?"), "--json"});
    std::multiset<std::string> listed;
    for (const char* kind : {"adapter", "port"})
        for (const Fields& f : objects(some.out, kind))
            listed.insert(f.at("port"));
    EXPECT_EQ(listed, (std::multiset<std::string>{fleet.port("a"), fleet.port("b"),
                                                  fleet.port("c"), fleet.port("quiet")}));
    EXPECT_EQ(fleet.stop("a")["commands"], 3 * probeCommands());
}

TEST(Station, InstallOntoTheChosenLeavesTheOtherUntouched)
{
    const long probe = probeCommands();
    ASSERT_GT(probe, 0);
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    fleet.start("b", {"--serial=SN000002"});
    fleet.start("c", {"--serial=SN000003", "--chip=128k", "--link=uart"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 7);
    // What b's flash is when nothing touches it: a twin never used.
    Fleet twin;
    twin.start("b", {"--serial=SN000002"});
    twin.stop("b");
    const Bytes untouched = readFile(twin.flashOf("b"));
    ASSERT_EQ(untouched.size(), 0x40000u);

    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(),
                               "--serial=SN000001,NOSUCH99,SN000003", "--json",
                               "--log=" + fleet.file("shop.log"), "--backup-dir=" + fleet.file("backups")});
    // The ones there are installed; the one not found says so in the status.
    EXPECT_EQ(r.status, 3) << ending(r);
    EXPECT_EQ(objects(r.out, "missing").at(0)["serial"], "NOSUCH99");
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 2u) << r.out;
    for (const char* serial : {"SN000001", "SN000003"}) {
        SCOPED_TRACE(serial);
        Fields f = bySerial(results, serial);
        EXPECT_EQ(f["result"], "ok");
        EXPECT_EQ(f["firmware_before"], "0x0105");
        EXPECT_EQ(f["firmware_after"], "0x0107");
    }
    // Steps come in their order for each adapter.
    std::vector<std::string> steps;
    for (const Fields& f : objects(r.out, "step"))
        if (f.at("serial") == "SN000001" && (steps.empty() || steps.back() != f.at("step")))
            steps.push_back(f.at("step"));
    EXPECT_EQ(steps, (std::vector<std::string>{"starting", "connect", "check", "backup", "install"}));

    std::map<std::string, long> b = fleet.stop("b");
    EXPECT_EQ(b["rows_erased"], 0);
    EXPECT_EQ(b["pages_written"], 0);
    EXPECT_EQ(b["commands"], probe);
    EXPECT_EQ(readFile(fleet.flashOf("b")), untouched);
    std::map<std::string, long> a = fleet.stop("a");
    EXPECT_GT(a["pages_written"], 0);
    const Bytes flashA = readFile(fleet.flashOf("a"));
    const Bytes payload = patternBytes(0x3E000, 7);
    ASSERT_EQ(flashA.size(), 0x40000u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flashA.begin() + 0x1000));

    Bytes log = readFile(fleet.file("shop.log"));
    std::string logText(log.begin(), log.end());
    EXPECT_EQ(std::count(logText.begin(), logText.end(), '\n'), 2) << logText;
    EXPECT_NE(logText.find("  SN000003  " + fleet.port("c") + "  0x0105 -> 0x0107  ok  "),
              std::string::npos)
        << logText;
}

TEST(Station, ExitStatusSaysWhatWentWrong)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 3);
    const std::string ports = "--ports=" + fleet.ports();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {{}, 2, "missing command"},
        {{"flash"}, 2, "unknown command flash"},
        {{"install", pkg, ports}, 2, "either --serial"},
        {{"install", pkg, ports, "--all", "--serial=SN000001"}, 2, "either --serial"},
        {{"install", ports, "--all"}, 2, "missing package"},
        {{"list", "--all"}, 2, "for install"},
        {{"install", pkg, "--all", "--jobs=0"}, 2, "invalid --jobs"},
        {{"list", "--bogus"}, 2, "unrecognized option"},
        {{"install", pkg, ports, "--serial=NOSUCH01"}, 3, "no adapter with serial number NOSUCH01"},
        {{"install", fleet.file("missing.pkg"), ports, "--all"}, 1, ""},
        {{"install", pkg, fleet.file("ports/none"), "--all"}, 2, "extra arguments"},
        {{"install", pkg, "--ports=" + fleet.file("ports/none"), "--all"}, 1, "no adapter found"},
        {{"install", pkg, ports, "--all", "--backup-dir="}, 2, "--backup-dir needs a folder"},
        // The run's outputs are checked before any adapter is touched.
        {{"watch", pkg, ports, "--log=" + fleet.file("no/such/shop.log")}, 1, "cannot write the log"},
        {{"install", pkg, ports, "--all", "--backup-dir=" + pkg}, 1, "cannot make backups in"},
        // A log line not written fails the run that otherwise went well.
        {{"install", pkg, ports, "--all", "--dry-run", "--log=/dev/full"}, 1, "log not written"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        ProcessResult r = station(c.args);
        EXPECT_EQ(r.status, c.status) << ending(r);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    // Nothing was written by any of them.
    EXPECT_FALSE(pathExists(fleet.file("no")));
    EXPECT_EQ(fleet.stop("a")["rows_erased"], 0);

    ProcessResult help = station({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status: 0 everything asked for succeeded; 1 an adapter failed"),
              std::string::npos);
}

TEST(Station, AllInstallsEveryAdapterAndOneGoneFailsAlone)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    fleet.start("b", {"--serial=SN000002", "--gone-after=200"});
    fleet.start("c", {"--serial=SN000003", "--chip=128k"});
    fleet.silent("quiet");
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0108, 5);

    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                               "--jobs=2", "--backup-dir=" + fleet.file("backups")});
    EXPECT_EQ(r.status, 1) << ending(r);
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 3u) << r.out;
    // --jobs=2: a third starts only after a result, as the events' order shows.
    int running = 0, most = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line); most = std::max(most, running))
        running += (line.find("\"step\":\"starting\"") != std::string::npos) -
                   (line.find("\"event\":\"result\"") != std::string::npos);
    EXPECT_EQ(most, 2) << r.out;
    EXPECT_EQ(bySerial(results, "SN000001")["result"], "ok");
    EXPECT_EQ(bySerial(results, "SN000003")["result"], "ok");
    Fields gone = bySerial(results, "SN000002");
    EXPECT_EQ(gone["result"], "failed");
    EXPECT_NE(gone["detail"].find("SAM-BA operation failed"), std::string::npos) << gone["detail"];
    EXPECT_EQ(gone["firmware_after"], "");
}

TEST(Station, DryRunChecksEverythingAndErasesNothing)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    fleet.start("b", {"--serial=SN000002", "--chip=128k", "--link=uart"});
    fleet.start("x", {"--serial=SN000009", "--type=0x51"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0109, 9);

    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--dry-run",
                               "--json", "--backup-dir=" + fleet.file("bk")});
    // The adapter of an unknown type would be refused, so the run fails.
    EXPECT_EQ(r.status, 1) << r.out;
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 3u);
    for (const char* serial : {"SN000001", "SN000002"}) {
        Fields f = bySerial(results, serial);
        EXPECT_EQ(f["result"], "dry-run");
        EXPECT_NE(f["detail"].find("would back up into " + fleet.file("bk") + "/" + serial + "-"),
                  std::string::npos)
            << f["detail"];
        EXPECT_NE(f["detail"].find("then install firmware 0x0109 over 0x0105"), std::string::npos);
    }
    EXPECT_EQ(bySerial(results, "SN000009")["result"], "refused");
    EXPECT_FALSE(pathExists(fleet.file("bk")));
    for (const char* name : {"a", "b", "x"}) {
        std::map<std::string, long> s = fleet.stop(name);
        EXPECT_EQ(s["rows_erased"] + s["pages_written"], 0) << name;
    }
}

// Whatever bytes an adapter holds for its serial number, every output shows
// them escaped, one line per record, and --json stays valid.
TEST(Station, AdapterBytesAreShownEscaped)
{
    // port, serial, as --json writes it, as the list, the table and the log show it
    struct Row {
        const char *name, *serial, *json, *shown;
    };
    const Row rows[] = {
        {"a", "AB\nCD", "AB\\nCD", "AB\\x0ACD"},
        {"b", "../x/y", "../x/y", "../x/y"},
        {"c", "A\"B\\C", "A\\\"B\\\\C", "A\"B\\\\C"},
        {"d", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "\\u00ff\\u00ff\\u00ff\\u00ff\\u00ff\\u00ff\\u00ff\\u00ff",
         "\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF"},
        {"e", "\x1b[2J", "\\u001b[2J", "\\x1B[2J"},
    };
    Fleet fleet;
    for (const Row& row : rows)
        fleet.start(row.name, {std::string("--serial=") + row.serial});
    const std::string pkg = fleet.file("fw.pkg"), log = fleet.file("shop.log");
    fleet.package(pkg, 0x0107, 2);
    const std::string ports = "--ports=" + fleet.ports();
    ProcessResult json = station({"list", ports, "--json"});
    ProcessResult text = station({"list", ports});
    // The worker is given the very serial number and finds it again.
    ProcessResult dry = station({"install", pkg, ports, "--all", "--dry-run", "--log=" + log,
                                 "--backup-dir=" + fleet.file("bk")});
    ASSERT_EQ(json.status, 0);
    EXPECT_EQ(dry.status, 0) << dry.out;
    expectKnownKeys(json.out);
    const std::string logText = waitForLines(log, 5);
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 5) << text.out;
    EXPECT_EQ(std::count(logText.begin(), logText.end(), '\n'), 5) << logText;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(bySerial(objects(json.out, "adapter"), row.json)["port"], fleet.port(row.name));
        EXPECT_NE(text.out.find(fleet.port(row.name) + "  SN " + row.shown + "  PCB"),
                  std::string::npos)
            << text.out;
        EXPECT_NE(logText.find(std::string("  ") + row.shown + "  " + fleet.port(row.name) +
                               "  0x0105 -> 0x0107  dry-run  "),
                  std::string::npos)
            << logText;
    }
    // Nor do the progress lines and the table let a raw byte through.
    const std::string all = text.out + dry.out + logText;
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](unsigned char c) { return (c < 0x20 && c != '\n') || c >= 0x7F; }),
              0);
}

TEST(Station, AWorkerThatDiesIsReportedFailed)
{
    Fleet fleet;
    // Slow pages, so the install is still running when its worker is killed.
    fleet.start("a", {"--serial=SN000001", "--page-us=3000"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 1);
    ChildProcess run({binPath("tarvo-station"), "install", pkg, "--ports=" + fleet.ports(),
                      "--all", "--json", "--backup-dir=" + fleet.file("backups")});
    ASSERT_TRUE(run.waitForOutput("\"step\":\"install\"", 20000)) << run.out();
    // Only the station's own child, by its pid.
    int pid = -1;
    for (int i = 0; i < 50 && pid < 0; i++) {
        for (int p : childrenOf(getpid())) {
            for (int worker : childrenOf(p))
                pid = worker;
        }
        usleep(20000);
    }
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ProcessResult r = run.finish(30000);
    EXPECT_EQ(r.status, 1);
    Fields f = bySerial(objects(r.out, "result"), "SN000001");
    EXPECT_EQ(f["result"], "failed");
    EXPECT_NE(f["detail"].find("worker ended without a result (killed by signal 9)"),
              std::string::npos)
        << f["detail"];
    EXPECT_NE(f["detail"].find("its firmware may be incomplete"), std::string::npos);
}

}  // namespace

namespace {

class StationWatch : public testing::Test {
protected:
    void SetUp() override { fleet.package(pkg, 0x0107, 4); }

    std::unique_ptr<ChildProcess> watch()
    {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            binPath("tarvo-station"), "watch", pkg, "--ports=" + fleet.ports(), "--json",
            "--log=" + fleet.file("shop.log"), "--backup-dir=" + fleet.file("backups")});
    }

    Fleet fleet;
    std::string pkg = fleet.file("fw.pkg");
};

TEST_F(StationWatch, InstallsEachNewAdapterOncePerSerialNumber)
{
    std::unique_ptr<ChildProcess> run = watch();
    fleet.silent("quiet");
    fleet.start("a", {"--serial=SN000001"});
    ASSERT_TRUE(run->waitForOutput("\"serial\":\"SN000001\",\"firmware_before\"", 30000)) << run->out();
    fleet.start("b", {"--serial=SN000002", "--chip=128k", "--link=uart"});
    ASSERT_TRUE(run->waitForOutput("\"serial\":\"SN000002\",\"firmware_before\"", 30000)) << run->out();

    // Unplugged and plugged in again elsewhere: seen, not installed a second time.
    fleet.stop("a");
    fleet.start("again", {"--serial=SN000001"});
    ASSERT_TRUE(run->waitForOutput("\"event\":\"skip\"", 30000)) << run->out();
    run->signal(SIGINT);
    ProcessResult r = run->finish(30000);
    EXPECT_EQ(r.status, 0) << ending(r);
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 2u) << r.out;
    EXPECT_EQ(bySerial(results, "SN000001")["result"], "ok");
    EXPECT_EQ(bySerial(results, "SN000002")["result"], "ok");
    Fields skip = objects(r.out, "skip").at(0);
    EXPECT_EQ(skip["serial"], "SN000001");
    EXPECT_EQ(skip["port"], fleet.port("again"));
    // Every kind watch writes keeps its keys.
    expectKnownKeys(r.out);
    for (const char* kind : {"waiting", "stopping"})
        EXPECT_EQ(objects(r.out, kind).size(), 1u) << kind;
    std::map<std::string, long> again = fleet.stop("again");
    EXPECT_EQ(again["rows_erased"] + again["pages_written"], 0);
    Bytes log = readFile(fleet.file("shop.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST_F(StationWatch, FirstCtrlCWaitsForTheInstallSecondEndsIt)
{
    for (int presses : {1, 2}) {
        SCOPED_TRACE(presses);
        const std::string name = "slow" + std::to_string(presses);
        std::unique_ptr<ChildProcess> run = watch();
        fleet.start(name, {"--serial=SN00000" + std::to_string(presses), "--page-us=1000"});
        ASSERT_TRUE(run->waitForOutput("\"step\":\"install\"", 30000)) << run->out();
        run->signal(SIGINT);
        if (presses == 2) {
            ASSERT_TRUE(run->waitForOutput("\"event\":\"stopping\"", 10000));
            run->signal(SIGINT);
        }
        ProcessResult r = run->finish(60000);
        const std::vector<Fields> results = objects(r.out, "result");
        ASSERT_EQ(results.size(), 1u) << r.out;
        Fields f = results[0];
        if (presses == 1) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_EQ(f["result"], "ok");
        } else {
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_EQ(f["result"], "stopped");
            EXPECT_NE(f["detail"].find("stopped during the install: its firmware may be incomplete"),
                      std::string::npos)
                << f["detail"];
        }
        fleet.stop(name);
    }
}

}  // namespace

namespace {

// An install that has begun its erase ends installed, with its log line,
// whatever happens to the parent or to whoever reads its output.
TEST(StationSurvival, AnInstallOutlivesItsParentAndItsReader)
{
    // sig to the station (to its whole group: a terminal's Ctrl-C), or 0: the
    // reader of its output goes away; whether the station lives to exit 0.
    struct Case {
        const char* name;
        int sig;
        bool group, parentLives;
    };
    const Case cases[] = {{"SIGHUP", SIGHUP, false, true},   {"SIGTERM", SIGTERM, false, true},
                          {"SIGKILL", SIGKILL, false, false}, {"Ctrl-C", SIGINT, true, true},
                          {"closed output", 0, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fleet fleet;
        fleet.start("a", {"--serial=SN000001", "--page-us=1000"});
        const std::string pkg = fleet.file("fw.pkg"), log = fleet.file("shop.log");
        fleet.package(pkg, 0x0107, 8);
        const std::string command = "'" + binPath("tarvo-station") + "' install '" + pkg +
                                    "' '--ports=" + fleet.ports() + "' --all --json '--log=" + log +
                                    "' '--backup-dir=" + fleet.file("backups") + "'";
        // The child has a process group of its own, which the group's signal
        // reaches alone.
        ChildProcess run({"/usr/bin/bash", "-c",
                          c.sig ? "exec " + command
                                : "set -o pipefail; " + command + " | grep -m1 -q '\"step\":\"install\"'"});
        if (c.sig) {
            ASSERT_TRUE(run.waitForOutput("\"step\":\"install\"", 30000)) << run.out();
            ASSERT_EQ(kill(c.group ? -stationChild() : stationChild(), c.sig), 0);
        }
        ProcessResult r = run.finish(90000);
        EXPECT_TRUE(!c.parentLives || r.status == 0) << ending(r);
        const std::string logText = waitForLines(log, 1);
        EXPECT_EQ(logText.find("  SN000001  " + fleet.port("a") + "  0x0105 -> 0x0107  ok  "), 23u)
            << logText;
        EXPECT_EQ(std::count(logText.begin(), logText.end(), '\n'), 1) << logText;
        fleet.stop("a");
        const Bytes flash = readFile(fleet.flashOf("a"));
        ASSERT_EQ(flash.size(), 0x40000u);
        EXPECT_EQ(Bytes(flash.begin() + 0x1000, flash.end() - 0x1000), patternBytes(0x3E000, 8));
    }
}

}  // namespace
