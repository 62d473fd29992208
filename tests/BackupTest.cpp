// tarvo-backup against tarvo-sim: the round trip from a saved adapter
// through another firmware and back, the UART link, unreliable reads and
// the refusals. Plus the simulator's wrong-read fault on its own.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "PackageBuilder.h"
#include "SimRig.h"
#include "SimRun.h"

namespace {

Bytes slice(const Bytes& bytes, size_t from, size_t size)
{
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + size));
}

bool exists(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f)
        fclose(f);
    return f != nullptr;
}

std::string withoutTiming(const std::string& out)
{
    return std::regex_replace(out, std::regex("done in +[0-9.]+ seconds"), "done in T seconds");
}

TEST(SimWrongRead, SpoilsTheCoveringReadsOnlyAsOftenAsAsked)
{
    for (SimLink link : {SimLink::Usb, SimLink::Uart}) {
        SCOPED_TRACE(link == SimLink::Usb ? "usb" : "uart");
        SimRig rig(withLink(link), usbPort(link == SimLink::Usb));
        ASSERT_TRUE(rig.connect());
        const uint32_t addr = 0x3F000, bad = 0x3F0A5;
        rig.adapter->faults.wrongRead = true;
        rig.adapter->faults.wrongReadAddr = bad;
        rig.adapter->faults.wrongReadTimes = 1;
        const Bytes stored = slice(rig.adapter->flash(), addr, 300);

        Bytes got(100);
        rig.samba.read(addr, got.data(), 100);  // ends before the byte: not counted
        EXPECT_EQ(got, slice(stored, 0, 100));
        got.assign(300, 0);
        rig.samba.read(addr, got.data(), 300);
        Bytes spoiled = stored;
        spoiled[bad - addr] ^= 0xFF;
        EXPECT_EQ(got, spoiled);
        rig.samba.read(addr, got.data(), 300);
        EXPECT_EQ(got, stored);
        EXPECT_EQ(rig.samba.checksumBuffer(addr, 300), byteSum(stored));
    }
}

class Backup : public testing::Test {
protected:
    // tarvo-backup (or tarvo) against the adapter kept in _state.
    ProcessResult run(const std::string& program, const std::vector<std::string>& args,
                      std::vector<std::string> sim = {})
    {
        sim.push_back("--state=" + _state);
        sim.push_back("--stats=" + _stats);
        ProcessResult r = runProgramAgainstSim(program, sim, args).result;
        r.out = withoutTiming(r.out);
        return r;
    }

    ProcessResult backup(const std::vector<std::string>& args, std::vector<std::string> sim = {})
    {
        return run("tarvo-backup", args, std::move(sim));
    }

    std::string stats() const
    {
        Bytes s = readFile(_stats);
        return std::string(s.begin(), s.end());
    }

    void pack(const std::string& pkg, uint8_t seed, const std::string& type)
    {
        writeFile(_payload, patternBytes(0x3E000, seed));
        ProcessResult r = runProcess({binPath("tarvo-pack"), "create", "--type=" + type,
                                      "--hw=0x0203", "--fit=256k", _payload, pkg});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    TempDir _dir;
    std::string _state = _dir.path("flash.bin");
    std::string _stats = _dir.path("stats.txt");
    std::string _payload = _dir.path("payload.bin");
    std::string _saved = _dir.path("saved");
};

TEST_F(Backup, RoundTripBringsBackTheSavedAdapter)
{
    const std::string a = _dir.path("a.pkg"), b = _dir.path("b.pkg");
    pack(a, 31, "E");
    pack(b, 32, "E");
    ASSERT_EQ(run("tarvo", {"-f", a}).status, 0);
    const Bytes afterA = readFile(_state);

    ProcessResult save = backup({"save", _saved});
    ASSERT_EQ(save.status, 0) << save.out << save.err;
    EXPECT_NE(save.out.find("firmware: 253952 bytes from 0x01000 read once, confirmed by the "
                            "adapter's checksum 0x"),
              std::string::npos) << save.out;
    EXPECT_NE(stats().find("rows_erased 0\npages_written 0\n"), std::string::npos);
    ProcessResult info = runProcess({binPath("tarvo-pack"), "info", _saved + "/firmware.pkg"});
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("payload checksum:  0x"), std::string::npos);
    EXPECT_EQ(slice(readFile(_saved + "/firmware.pkg"), 48, 0x3E000), slice(afterA, 0x1000, 0x3E000));
    EXPECT_EQ(readFile(_saved + "/settings.dat"), slice(afterA, 0x3F000, 4096));
    Bytes text = readFile(_saved + "/adapter.txt");
    EXPECT_NE(std::string(text.begin(), text.end())
                  .find("\nAdapter SN: AB123456 , PCB Ver: 0x0203\nFirmware Version: "),
              std::string::npos);

    // Another firmware, and three setting bytes changed by hand.
    ASSERT_EQ(run("tarvo", {"-f", b}).status, 0);
    Bytes changed = readFile(_state);
    for (size_t at : {0x3F000u, 0x3F001u, 0x3FFFFu})
        changed[at] ^= 0x5A;
    writeFile(_state, changed);
    ProcessResult differs = backup({"verify", _saved});
    EXPECT_EQ(differs.status, 1);
    char settingsLine[160];
    snprintf(settingsLine, sizeof(settingsLine),
             "settings: 4096 bytes from 0x3F000 read once, confirmed by the adapter's checksum "
             "0x%08X (32-bit byte sum)\n",
             byteSum(slice(changed, 0x3F000, 4096)));
    char firmwareLine[160];
    snprintf(firmwareLine, sizeof(firmwareLine),
             "firmware: 253952 bytes from 0x01000 read once, confirmed by the adapter's checksum "
             "0x%08X (32-bit byte sum)\n",
             byteSum(slice(changed, 0x1000, 0x3E000)));
    EXPECT_EQ(differs.out, std::string("\nReading firmware ................\n") + firmwareLine +
                               "firmware: differs\nReading settings .\n" + settingsLine +
                               "settings: differ in 3 bytes\ndone in T seconds\n");
    EXPECT_EQ(backup({"verify", b}).status, 0);

    ProcessResult restore = backup({"restore", _saved, "-R"});
    EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_NE(restore.out.find("Checksum of adapter setting"), std::string::npos);
    // The firmware first, then the settings, then the one restart.
    EXPECT_LT(restore.out.find("\tFirmware update OK\n"), restore.out.find("Checksum of adapter"));
    EXPECT_NE(restore.out.find("\nHard resetting adapter ... CPU reset.\nDone\ndone in T seconds\n"
                               "Adapter restarted by the firmware update, power cycle skipped\n"),
              std::string::npos) << restore.out;
    EXPECT_EQ(slice(readFile(_state), 0x1000, 0x3F000), slice(afterA, 0x1000, 0x3F000));
    EXPECT_NE(stats().find("bootloader_touches 0\n"), std::string::npos);

    ProcessResult matches = backup({"verify", _saved});
    EXPECT_EQ(matches.status, 0);
    EXPECT_NE(matches.out.find("\nfirmware: matches\nReading settings"), std::string::npos);
    EXPECT_NE(matches.out.find("\nsettings: matches\ndone in T seconds\n"), std::string::npos);
    ProcessResult pkgMatches = backup({"verify", _saved + "/firmware.pkg"});
    EXPECT_EQ(pkgMatches.status, 0);
    EXPECT_EQ(pkgMatches.out, "\nfirmware: matches\ndone in T seconds\n");
    ProcessResult other = backup({"verify", b});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "\nfirmware: differs\ndone in T seconds\n");
    const std::string k = _dir.path("k.pkg");
    pack(k, 33, "K");  // another type letter: tarvo -f takes nothing from it
    ProcessResult none = backup({"verify", k});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "\nNo valid firmware found in " + k + ", abort\n");

    ProcessResult install = run("tarvo", {"-f", _saved + "/firmware.pkg"});
    EXPECT_EQ(install.status, 0);
    EXPECT_NE(install.out.find("\tFirmware update OK\n"), std::string::npos);
    EXPECT_EQ(slice(readFile(_state), 0x1000, 0x3F000), slice(afterA, 0x1000, 0x3F000));
}

TEST_F(Backup, SavesThe128KChipOverAUart)
{
    ProcessResult save = backup({"save", _saved}, {"--link=uart", "--chip=128k"});
    ASSERT_EQ(save.status, 0) << save.out << save.err;
    const Bytes flash = readFile(_state);
    ASSERT_EQ(flash.size(), 0x20000u);
    EXPECT_EQ(slice(readFile(_saved + "/firmware.pkg"), 48, 0x1E000), slice(flash, 0x1000, 0x1E000));
    EXPECT_EQ(readFile(_saved + "/settings.dat"), slice(flash, 0x1F000, 4096));
    ProcessResult info = runProcess({binPath("tarvo-pack"), "info", _saved + "/firmware.pkg"});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("fits chip 0x1001030B"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("hardware versions: 0x0203 0x0203"), std::string::npos);
}

TEST_F(Backup, AWrongReadIsReadAgainAndNeverSaved)
{
    struct Case {
        std::vector<std::string> sim;
        int status;
        const char* again;  // how the reading went
        const char* tail;
    };
    const Case cases[] = {
        // The first read of the firmware, before any answer vouched for a formula.
        {{"--wrong-read=0x2345:1"}, 0,
         "Reading firmware again ................\n"
         "firmware: 1 piece read again after two reads differed\n",
         "firmware: 253952 bytes from 0x01000 read twice alike, confirmed by the adapter's "
         "checksum 0x03DC1862 (32-bit byte sum)\n"},
        {{"--wrong-read=0x2345:2"}, 0, "firmware: 1 piece read again after two reads differed\n",
         "firmware: 253952 bytes from 0x01000 read twice alike, confirmed by the adapter's "
         "checksum 0x03DC1862 (32-bit byte sum)\n"},
        {{"--wrong-read=0x2345:3"}, 1, "Reading firmware",
         "firmware: the adapter does not read back reliably (no two of 4 reads of a piece "
         "agreed), abort\n"},
        // Read once, the setting area is caught by the formula the firmware region confirmed.
        {{"--wrong-read=0x3F800:1", "--checksum=crc32"}, 0,
         "settings: the read is not what the adapter's checksum 0x0008BAB7 (CRC-32) says, "
         "reading it again\nReading settings again .\n"
         "settings: 1 piece read again after two reads differed\n",
         "settings: 4096 bytes from 0x3F000 read twice alike, confirmed by the adapter's "
         "checksum 0x0008BAB7 (CRC-32)\n"},
        {{"--wrong-read=0x3F800"}, 1, "Reading settings again",
         "settings: the adapter does not read back reliably (no two of 4 reads of a piece "
         "agreed), abort\n"},
        // No formula to check against: only the two alike reads tell.
        {{"--wrong-read=0x2345:1", "--checksum=mix"}, 0,
         "firmware: 1 piece read again after two reads differed\n",
         "settings: 4096 bytes from 0x3F000 read twice alike, adapter checksum 0x"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sim[0] + (c.sim.size() > 1 ? " " + c.sim[1] : ""));
        const std::string dir = _dir.path("bk" + std::to_string(n++));
        ProcessResult r = backup({"save", dir}, c.sim);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.again), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.tail), std::string::npos) << r.out;
        EXPECT_EQ(exists(dir + "/firmware.pkg"), c.status == 0);
        EXPECT_EQ(exists(dir), c.status == 0);
        if (c.status == 0) {  // what was taken is what the flash holds, not a spoiled read
            EXPECT_EQ(slice(readFile(dir + "/firmware.pkg"), 48, 0x3E000),
                      slice(readFile(_state), 0x1000, 0x3E000));
            EXPECT_EQ(readFile(dir + "/settings.dat"), slice(readFile(_state), 0x3F000, 4096));
        }
    }
}

TEST_F(Backup, RefusesAnotherAdapterAndAnExistingBackup)
{
    ASSERT_EQ(backup({"save", _saved}).status, 0);
    const Bytes firstPkg = readFile(_saved + "/firmware.pkg");

    // Another adapter: its own flash, another serial number.
    std::remove(_state.c_str());
    ProcessResult r = backup({"restore", _saved}, {"--serial=ZZ999999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n" + _saved + " is a backup of another adapter: the backup is of SN "
                     "AB123456, this one is SN ZZ999999; restore refused (--other-adapter "
                     "restores it anyway)\n");
    EXPECT_NE(stats().find("rows_erased 0\npages_written 0\n"), std::string::npos);
    r = backup({"restore", _dir.path("")});  // no adapter.txt: not a backup
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("holds no complete backup"), std::string::npos) << r.out;
    EXPECT_NE(stats().find("rows_erased 0\npages_written 0\n"), std::string::npos);

    r = backup({"save", _saved}, {"--fw-version=0x0A030777"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, _saved + " already holds a backup (" + _saved +
                         "/firmware.pkg); --replace replaces it, abort\n");
    EXPECT_EQ(readFile(_saved + "/firmware.pkg"), firstPkg);
    std::remove(_state.c_str());
    EXPECT_EQ(backup({"--replace", "save", _saved}, {"--fw-version=0x0A030777"}).status, 0);
    EXPECT_NE(readFile(_saved + "/firmware.pkg"), firstPkg);
}

// Ctrl-C (or the terminal closing) in the middle of the firmware:
// tarvo-backup says what the adapter holds and exits 128 + the signal; the
// same restore then brings the backup back. The simulator, ended by SIGTERM,
// exits 143 and keeps what it holds.
TEST_F(Backup, ARestoreStoppedByCtrlCIsRunAgain)
{
    const std::string other = _dir.path("other.pkg");
    pack(other, 41, "E");
    ASSERT_EQ(backup({"save", _saved}).status, 0);
    const Bytes saved = readFile(_state);
    for (int stopSignal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(stopSignal);
        ASSERT_EQ(run("tarvo", {"-f", other}).status, 0);
        ChildProcess sim({binPath("tarvo-sim"), "--state=" + _state, "--page-us=300"});
        ASSERT_TRUE(sim.waitForOutput("\n", 10000));
        const std::string tty = sim.out().substr(0, sim.out().find('\n'));
        {
            ChildProcess restore({binPath("tarvo-backup"), "-p", tty, "-R", "restore", _saved});
            ASSERT_TRUE(restore.waitForOutput("Updating firmware, please wait .", 30000))
                << restore.out();
            restore.signal(stopSignal);
            ProcessResult r = restore.finish(30000);
            EXPECT_EQ(r.status, 128 + stopSignal) << r.out << r.err;
            EXPECT_NE(r.out.find("To put the whole backup back, run: tarvo-backup restore " +
                                 _saved + "\n"),
                      std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("CPU reset"), std::string::npos) << "no power cycle after a stop";
        }
        ProcessResult again = runProcess({binPath("tarvo-backup"), "-p", tty, "restore", _saved});
        EXPECT_EQ(again.status, 0) << again.out << again.err;

        sim.signal(SIGTERM);
        EXPECT_EQ(sim.finish(10000).status, 143);
        EXPECT_EQ(slice(readFile(_state), 0x1000, 0x3F000), slice(saved, 0x1000, 0x3F000));
    }
}

// A monitor that decodes what it receives stops the restore after one block,
// before the settings; one silent after its restart still ends the restore
// well, -R skipped.
TEST_F(Backup, ARestoreOnAMonitorThatDoesNotPlayAlong)
{
    const std::string other = _dir.path("other.pkg");
    pack(other, 42, "E");
    ASSERT_EQ(backup({"save", _saved}).status, 0);
    const struct {
        std::string fault;
        int status;
        std::string says, stats;
        bool settingsBack;
    } cases[] = {
        {"--xor-after-initd=0x5A", 1,
         "stays in its boot monitor; its bootloader is untouched and its setting area is as it "
         "was.\nInstalling the maker's firmware package with tarvo -f FILE makes it work again.",
         "pages_written 1\nbootloader_touches 0\nresets 0\njumps 0\n", false},
        {"--silent-after-restart", 0, "Adapter restarted by the firmware update, power cycle "
         "skipped\n", "pages_written 4032\nbootloader_touches 0\nresets 1\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(run("tarvo", {"-f", other}).status, 0);
        Bytes before = readFile(_state);
        before[0x3F010] ^= 0x5A;  // settings of its own since the save
        writeFile(_state, before);
        ProcessResult r = backup({"-R", "restore", _saved}, {c.fault});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_NE(stats().find(c.stats), std::string::npos) << stats();
        EXPECT_EQ(slice(readFile(_state), 0x3F000, 4096),
                  c.settingsBack ? readFile(_saved + "/settings.dat") : slice(before, 0x3F000, 4096));
    }
}

TEST(BackupCommandLine, ConnectsAsTarvoDoes)
{
    ProcessResult r = runProcess({binPath("tarvo-backup"), "-p", "/nonexistent/tty", "save", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Try to open USB device ... No device found on /nonexistent/tty\n");
    r = runProcess({binPath("tarvo-backup"), "save"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvo-backup: missing directory\n"
                     "Try 'tarvo-backup -h' or 'tarvo-backup --help' for more information\n");
    r = runProcess({binPath("tarvo-backup"), "--version"});
    EXPECT_EQ(r.out, "tarvo-backup " TARVO_VERSION "\n");
}

}  // namespace
