// The station's restore after a failed install, the stable keys of its JSON
// lines, and tarvo-backup choosing one adapter of several.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "StationFleet.h"

using namespace station_test;

namespace {

// A flash byte that stays erased: the adapter as made has 0xFF there, the
// package does not, so the install fails its verification and the backup's
// restore still takes.
constexpr const char* STUCK = "--stuck-byte=0x2000";
// As a real monitor may be: nothing answers after a restart, so whatever
// needs the monitor comes before the one restart.
constexpr const char* SILENT = "--silent-after-restart";

TEST(StationRestore, AFailedInstallRestoresTheBackupOnceAndSaysBoth)
{
    Fleet fleet;
    fleet.start("a", {"--serial=SN000001", STUCK, SILENT});
    fleet.start("b", {"--serial=SN000002", SILENT});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    ASSERT_NE(patternBytes(0x3E000, 6)[0x1000], 0xFF);
    // What a's flash is when nothing touches it.
    Fleet twin;
    twin.start("a", {"--serial=SN000001", STUCK, SILENT});
    twin.stop("a");
    const Bytes untouched = readFile(twin.flashOf("a"));
    ASSERT_EQ(untouched.size(), 0x40000u);

    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                               "--backup-dir=" + fleet.file("backups"),
                               "--log=" + fleet.file("shop.log")});
    EXPECT_EQ(r.status, 1) << ending(r);
    const std::vector<Fields> results = objects(r.out, "result");
    ASSERT_EQ(results.size(), 2u) << r.out;
    Fields a = bySerial(results, "SN000001");
    EXPECT_EQ(a["result"], "failed");
    EXPECT_EQ(a["restore"], "ok");
    EXPECT_EQ(a["firmware_after"], "");
    // The failure's reason, not the last thing the restore printed.
    EXPECT_EQ(a["detail"], "verification failed; the backup was restored");
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
    EXPECT_EQ(restartsOf(statsA), 1);
    EXPECT_EQ(restartsOf(statsB), 1);
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
    fleet.start("a", {"--serial=SN000001", STUCK, SILENT});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--serial=SN000001",
                               "--backup-dir=" + fleet.file("backups")});
    EXPECT_EQ(r.status, 1) << ending(r);
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

// How each install ends, on monitors silent after a restart: a failed
// verification is restored while the monitor still answers; a monitor that
// stores other bytes than it is sent (one that decodes its maker's
// packages) cannot take a backup's firmware, so none is tried; without a
// backup, or on another adapter than the one it was sent for, nothing is
// erased. The reason given is the failure's own.
TEST(StationRestore, EachInstallEndsAsItSays)
{
    // Swapped by a decoding monitor, the pairs keep the byte sum: the
    // install verifies though flash holds other bytes than were sent.
    Bytes pairs(0x3E000);
    for (size_t i = 1; i < pairs.size(); i += 2)
        pairs[i] = 0x5A;
    enum Flash { Restored, OneInstall, Erased, Untouched };
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        bool keepsSum = false;
        const char* backupDir = "backups";  // under the fleet's folder
        const char* sentFor = "";           // a worker started for this serial number
        const char* result = "failed";
        const char* restore = "";
        // How it starts, with nothing added after it in parentheses; PKG,
        // DIR and BACKUPS stand for the package, the backup and its folder.
        std::string detail;
        long restarts = 0;
        Flash flash = Untouched;
    };
    const std::string changes = "this adapter's boot monitor changes the firmware it receives "
                                "(its backups cannot put firmware back)";
    const Case cases[] = {
        {"stuck byte", {STUCK}, false, "backups", "", "failed", "ok",
         "verification failed; the backup was restored", 1, Restored},
        // Each connection goes quiet after 300 commands: the install's part
        // way through the firmware, and the restore's after the reconnection.
        {"connection lost", {"--gone-after=300"}, false, "backups", "", "failed", "failed",
         "SAM-BA operation failed; restoring the backup failed (SAM-BA operation failed): the "
         "firmware may be incomplete, restore DIR with tarvo-backup restore (the bootloader is "
         "untouched)",
         0, Erased},
        {"decoding monitor, install differs", {"--xor-after-initd=0x5A"}, false, "backups", "", "failed", "",
         "verification failed; " + changes +
             ": no restore was tried; reinstall the maker's package with tarvo -f PKG (the "
             "adapter stays in its boot monitor; the bootloader is untouched)",
         0, OneInstall},
        {"decoding monitor, install verifies", {"--xor-after-initd=0x5A"}, true, "backups", "", "ok", "",
         "installed and verified; " + changes + ": keep the maker's package PKG", 1, OneInstall},
        {"backup folder under a file", {}, false, "plain/backups", "SN000001", "failed", "",
         "backup failed; nothing was erased: cannot make the backup folder BACKUPS/SN000001-"},
        {"adapter reads unreliably", {"--wrong-read=0x2000"}, false, "backups", "", "failed", "",
         "backup failed; nothing was erased: firmware: the adapter does not read back reliably "
         "(no two of 4 reads of a piece agreed), abort"},
        {"another adapter on the port", {}, false, "backups", "SN000009", "failed", "",
         "serial number is SN000001, not SN000009; nothing was erased"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> sim = {"--serial=SN000001", SILENT};
        sim.insert(sim.end(), c.sim.begin(), c.sim.end());
        Fleet twin, fleet;
        twin.start("a", sim);
        twin.stop("a");
        fleet.start("a", sim);
        const std::string pkg = fleet.file("fw.pkg");
        if (c.keepsSum)
            writePackage256k(pkg, pairs, 0x0107, fleet.file("payload"));
        else
            fleet.package(pkg, 0x0107, 6);
        writeFile(fleet.file("plain"), Bytes{1});
        const std::string backups = fleet.file(c.backupDir);
        // A worker on its own is as the parent starts it after a probe.
        const ProcessResult r =
            *c.sentFor ? station({"--worker=install", "--port=" + fleet.port("a"),
                                  "--package=" + pkg, std::string("--serial=") + c.sentFor,
                                  "--backup-dir=" + backups})
                       : station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                                  "--backup-dir=" + backups});
        auto lines = [&](const char* event) {
            return *c.sentFor ? workerObjects(r.out, event) : objects(r.out, event);
        };
        const std::vector<Fields> results = lines("result");
        EXPECT_EQ(r.status, std::string(c.result) == "ok" ? 0 : 1) << ending(r);
        ASSERT_EQ(results.size(), 1u) << r.out;
        Fields a = results[0];
        EXPECT_EQ(a["result"], c.result);
        EXPECT_EQ(a["restore"], c.restore);
        std::string detail = c.detail;
        for (auto [mark, value] : {std::pair<std::string, std::string>{"PKG", pkg},
                                   {"DIR", a["backup"]}, {"BACKUPS", backups}})
            if (size_t at = detail.find(mark); at != std::string::npos)
                detail.replace(at, mark.size(), value);
        EXPECT_EQ(a["detail"].rfind(detail, 0), 0u) << a["detail"];
        EXPECT_EQ(a["detail"].find(" (", detail.size()), std::string::npos) << a["detail"];
        std::set<std::string> stepNames;
        for (const Fields& f : lines("step"))
            stepNames.insert(f.at("step"));
        EXPECT_EQ(stepNames.count("restore") > 0, *c.restore != '\0') << r.out;
        EXPECT_EQ(stepNames.count("install") > 0, c.flash != Untouched) << r.out;

        std::map<std::string, long> stats = fleet.stop("a");
        EXPECT_EQ(restartsOf(stats), c.restarts);
        EXPECT_EQ(stats["bootloader_touches"], 0);
        if (c.flash == Restored) {
            EXPECT_EQ(readFile(fleet.flashOf("a")), readFile(twin.flashOf("a")));
        } else if (c.flash == OneInstall) {
            EXPECT_EQ(stats["pages_written"], 0x3E000 / 64);
        } else if (c.flash == Erased) {
            EXPECT_GT(stats["rows_erased"], 0);
        } else {
            EXPECT_EQ(stats["rows_erased"] + stats["pages_written"], 0);
            // No empty folder is left for a backup that was not made.
            std::error_code ec;
            EXPECT_TRUE(!std::filesystem::is_directory(backups, ec) ||
                        std::filesystem::is_empty(backups, ec));
        }
    }
}

// Whatever bytes a serial number holds, its backup folder is a new one
// inside --backup-dir, and two adapters of one serial number get one each.
TEST(StationRestore, BackupFoldersStayInsideAndNeverCollide)
{
    struct Case {
        const char* port;
        std::string serial;
        std::string folder;  // how the name starts
    };
    const Case cases[] = {
        {"a", "../../zz", "..%2F..%2Fzz-"},   {"b", "a/b", "a%2Fb-"},
        {"c", "x\ny", "x%0Ay-"},             {"d", "\xFF\xFFSN01", "%FF%FFSN01-"},
        {"e", "..", "%2E%2E-"},               {"f", "TWIN0001", "TWIN0001-"},
        {"g", "TWIN0001", "TWIN0001-"},
    };
    Fleet fleet;
    for (const Case& c : cases)
        fleet.start(c.port, {"--serial=" + c.serial});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    const std::string backups = fleet.file("backups");
    ProcessResult r = station({"install", pkg, "--ports=" + fleet.ports(), "--all", "--json",
                               "--backup-dir=" + backups});
    EXPECT_EQ(r.status, 0) << ending(r);
    std::set<std::string> folders;
    for (const Fields& f : objects(r.out, "result")) {
        const std::string port = f.at("port");
        const Case* c = nullptr;
        for (const Case& each : cases)
            c = fleet.port(each.port) == port ? &each : c;
        ASSERT_NE(c, nullptr) << port;
        SCOPED_TRACE(c->folder);
        EXPECT_EQ(f.at("result"), "ok") << f.at("detail");
        const std::string backup = f.at("backup");
        ASSERT_EQ(backup.rfind(backups + "/", 0), 0u) << backup;
        const std::string leaf = backup.substr(backups.size() + 1);
        EXPECT_EQ(leaf.rfind(c->folder, 0), 0u) << leaf;
        EXPECT_TRUE(pathExists(backup + "/adapter.txt")) << backup;
        folders.insert(leaf);
    }
    EXPECT_EQ(folders.size(), std::size(cases));
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
    ASSERT_EQ(r.status, 0) << ending(r);
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
        EXPECT_EQ(r.status, 1) << ending(r);
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
