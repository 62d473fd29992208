// The station's restore after a failed install, the stable keys of its JSON
// lines, and tarvo-backup choosing one adapter of several.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "Process.h"
#include "StationFleet.h"

using namespace station_test;

namespace {

// A flash byte that stays erased: the adapter as made has 0xFF there, the
// package does not, so the install fails its verification and the backup's
// restore still takes.
constexpr const char* STUCK = "--stuck-byte=0x2000";

TEST(StationRestore, AFailedInstallRestoresTheBackupOnceAndSaysBoth)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001", STUCK});
    fleet.start("b", {"--serial=SN000002"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    ASSERT_NE(patternBytes(0x3E000, 6)[0x1000], 0xFF);
    // What a's flash is when nothing touches it.
    Fleet twin;
    twin.start("a", {"--serial=SN000001", STUCK});
    twin.stop("a");
    const Bytes untouched = readFile(twin.flashOf("a"));
    ASSERT_EQ(untouched.size(), 0x40000u);

    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                               "--backup-dir=" + fleet.file("backups"),
                               "--log=" + fleet.file("shop.log")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 2u) << r.out;
    Fields a = bySerial(results, "SN000001");
    EXPECT_EQ(a["result"], "failed");
    EXPECT_EQ(a["restore"], "ok");
    EXPECT_EQ(a["firmware_after"], "");
    EXPECT_NE(a["detail"].find("verification failed; the backup was restored"), std::string::npos)
        << a["detail"];
    EXPECT_EQ(a["backup"].rfind(fleet.file("backups") + "/SN000001-", 0), 0u) << a["backup"];
    Fields b = bySerial(results, "SN000002");
    EXPECT_EQ(b["result"], "ok");
    EXPECT_EQ(b["restore"], "");

    // One restore, after the install, and nothing after it.
    std::vector<std::string> steps;
    std::vector<int> restorePercents;
    int restores = 0;
    for (const Fields& f : objects(r.out, "step")) {
        if (f.at("serial") != "SN000001")
            continue;
        restores += f.at("step") == "restore" && f.at("percent").empty();
        if (f.at("step") == "restore" && !f.at("percent").empty())
            restorePercents.push_back(std::stoi(f.at("percent")));
        if (steps.empty() || steps.back() != f.at("step"))
            steps.push_back(f.at("step"));
    }
    EXPECT_EQ(restores, 1);
    // The restore's firmware write shows its share, up to all of it.
    ASSERT_GE(restorePercents.size(), 2u) << r.out;
    EXPECT_TRUE(std::is_sorted(restorePercents.begin(), restorePercents.end())) << r.out;
    EXPECT_EQ(restorePercents.back(), 100) << r.out;
    EXPECT_EQ(steps, (std::vector<std::string>{"starting", "connect", "check", "backup", "install",
                                               "restore"}));

    // The adapter from its firmware base up is again what the backup took.
    std::map<std::string, long> statsA = fleet.stop("a");
    std::map<std::string, long> statsB = fleet.stop("b");
    EXPECT_GT(statsA["rows_erased"], statsB["rows_erased"]);
    const Bytes flash = readFile(fleet.flashOf("a"));
    ASSERT_EQ(flash.size(), untouched.size());
    EXPECT_TRUE(std::equal(flash.begin() + 0x1000, flash.end(), untouched.begin() + 0x1000));
    EXPECT_EQ(readFile(a["backup"] + "/settings.dat"),
              Bytes(untouched.end() - 0x1000, untouched.end()));

    // The shop's log says both outcomes of a, and b's one.
    Bytes log = readFile(fleet.file("shop.log"));
    const std::string logText(log.begin(), log.end());
    EXPECT_NE(logText.find("  SN000001  " + fleet.port("a") + "  0x0105 -> -  failed, restore ok  "),
              std::string::npos)
        << logText;
    EXPECT_NE(logText.find("  SN000002  " + fleet.port("b") + "  0x0105 -> 0x0107  ok  "),
              std::string::npos)
        << logText;
}

TEST(StationRestore, TheTableSaysTheInstallFailedAndTheRestoreTook)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001", STUCK});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--serial=SN000001",
                               "--backup-dir=" + fleet.file("backups")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::regex row("SN000001 +" + fleet.port("a") + " +0x0105 +- +failed, restore ok +[0-9.]+\n");
    EXPECT_TRUE(std::regex_search(r.out, row)) << r.out;
    EXPECT_NE(r.out.find("SN000001: verification failed; the backup was restored"),
              std::string::npos)
        << r.out;
    // Off a terminal each progress line comes once, though a step's reads
    // each run to 100%.
    std::set<std::string> seen;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("SN000001 ", 0) == 0) {
            EXPECT_TRUE(seen.insert(line).second) << line;
        }
    EXPECT_TRUE(seen.count("SN000001   " + fleet.port("a") + " restore")) << r.out;
}

// Every line of --json keeps its keys, whatever the adapter did: scripts
// read them by name.
TEST(StationRestore, JsonLinesKeepTheirKeys)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001"});
    fleet.silent("quiet");
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 2);
    using Keys = std::vector<std::string>;
    const Keys adapter = {"board", "bootloader", "chip",   "event", "firmware", "flash",
                          "fw_extra", "fw_word",  "port", "rom",   "serial",   "type"};

    ProcessResult list = station({"list", "--ports=" + fleet.ports(), "--json"});
    ASSERT_EQ(list.status, 0);
    ProcessResult dry = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                                 "--dry-run"});
    ASSERT_EQ(dry.status, 0) << dry.out;
    struct Case {
        const ProcessResult& run;
        const char* event;
        Keys keys;
    };
    const Case cases[] = {
        {list, "adapter", adapter},
        {list, "port", {"event", "port", "status"}},
        {dry, "adapter", adapter},
        {dry, "step", {"event", "percent", "port", "serial", "step"}},
        {dry, "result", {"backup", "detail", "event", "firmware_after", "firmware_before", "port",
                         "restore", "result", "seconds", "serial"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        const std::vector<Fields> found = objects(c.run.out, c.event);
        ASSERT_FALSE(found.empty()) << c.run.out;
        for (const Fields& f : found) {
            EXPECT_EQ(keysOf(f), c.keys);
        }
    }
}

ProcessResult backupTool(std::vector<std::string> args)
{
    args.insert(args.begin(), binPath("tarvo-backup"));
    return runProcess(args, 60000);
}

TEST(StationBackup, SerialTakesThatAdapterAndNoOther)
{
    const long probe = probeCommands();
    ASSERT_GT(probe, 0);
    // The scan takes a terminal for a plain port, so the adapters speak as on a UART.
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001", "--link=uart"});
    fleet.start("b", {"--serial=SN000002", "--chip=128k", "--link=uart"});
    const std::string ports = "--ports=" + fleet.ports();

    ProcessResult r = backupTool({ports, "--serial=SN000002", "save", fleet.file("kept")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Adapter SN000002 on " + fleet.port("b")), std::string::npos) << r.out;
    Bytes record = readFile(fleet.file("kept/adapter.txt"));
    const std::string recordText(record.begin(), record.end());
    EXPECT_NE(recordText.find("SN000002"), std::string::npos) << recordText;
    EXPECT_EQ(recordText.find("SN000001"), std::string::npos) << recordText;

    // a was asked who it is and let go.
    std::map<std::string, long> a = fleet.stop("a");
    EXPECT_EQ(a["commands"], probe);
    EXPECT_EQ(a["rows_erased"] + a["pages_written"], 0);
}

TEST(StationBackup, TwoAdaptersAndNoneNamedIsRefusedWithTheirList)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001", "--link=uart"});
    fleet.start("b", {"--serial=SN000002", "--link=uart"});
    const std::string ports = "--ports=" + fleet.ports();
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said;  // on standard error, each
    };
    const Case cases[] = {
        {{ports, "save", fleet.file("kept")},
         {"2 adapters attached; name one with -p or --serial:\n",
          "  --serial=SN000001  (" + fleet.port("a") + ")\n",
          "  --serial=SN000002  (" + fleet.port("b") + ")\n"}},
        {{ports, "--serial=NOSUCH01", "save", fleet.file("kept")},
         {"no adapter with serial number NOSUCH01 found"}},
        {{ports, "restore", fleet.file("kept")},
         {"2 adapters attached; name one with -p or --serial:\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        ProcessResult r = backupTool(c.args);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        for (const std::string& text : c.said)
            EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_FALSE(pathExists(fleet.file("kept")));
    }
    for (const char* name : {"a", "b"}) {
        std::map<std::string, long> s = fleet.stop(name);
        EXPECT_EQ(s["rows_erased"] + s["pages_written"], 0) << name;
    }
}

}  // namespace
