// Runs the built tarvo-settings on files in a scratch directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "EEPROM_Init.h"
#include "ChildProcess.h"

namespace {

const std::string HINT = "Try 'tarvo-settings --help' for more information\n";

const std::string DEFAULT_DUMP =
    "EEPROM (1680 bytes):\n"
    "0000  45 58 30 31 ff ff ff ff ff ff ff ff ff ff ff ff  EX01............\n"
    "0010..006f  all ff\n"
    "0070  ff ff ff ff ff ff ff ff 00 ff ff ff ff ff ff ff  ................\n"
    "0080..068f  all ff\n";

ProcessResult settings(std::vector<std::string> args)
{
    args.insert(args.begin(), binPath("tarvo-settings"));
    return runProcess(args, 20000);
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

const std::vector<uint8_t> DEFAULT_IMAGE(g_myData.begin(), g_myData.end());

class SettingsTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarvo-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }

    void TearDown() override
    {
        for (const auto& name : entries())
            unlink((_dir + "/" + name).c_str());
        rmdir(_dir.c_str());
    }

    std::string path(const std::string& name) const { return _dir + "/" + name; }

    std::set<std::string> entries() const
    {
        std::set<std::string> names;
        if (DIR* dir = opendir(_dir.c_str())) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..")
                    names.insert(name);
            }
            closedir(dir);
        }
        return names;
    }

    std::string _dir;
};

}  // namespace

TEST_F(SettingsTool, DefaultWritesTheFactoryImageAndShowPrintsIt)
{
    std::string file = path("user.dat");
    ProcessResult r = settings({"default", "-o", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, file + ": factory-default settings written\n");
    EXPECT_EQ(readFile(file), DEFAULT_IMAGE);
    EXPECT_EQ(entries(), std::set<std::string>{"user.dat"});

    r = settings({"show", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, file + ": valid setting area\n"
                     "Spare row: 0 (pages 0 to 3)\n"
                     "Page map (logical:physical):\n"
                     "  0:6     1:5     2:10    3:9     4:12    5:13    6:16\n"
                     "  7:17    8:20    9:21    10:24   11:25   12:28   13:29\n"
                     "  14:32   15:33   16:36   17:37   18:40   19:41   20:44\n"
                     "  21:45   22:48   23:49   24:52   25:53   26:56   27:57\n" +
                         DEFAULT_DUMP);
    EXPECT_EQ(readFile(file), DEFAULT_IMAGE);
}

TEST_F(SettingsTool, FormatWritesAnEmptyArea)
{
    std::string file = path("empty.dat");
    ProcessResult r = settings({"format", "-o", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, file + ": empty setting area written\n");

    // The default image is this area after two page updates in rows 1 and 2.
    std::vector<uint8_t> expected = DEFAULT_IMAGE;
    std::fill(expected.begin() + 0x180, expected.begin() + 0x1C0, 0xFF);
    std::fill(expected.begin() + 0x280, expected.begin() + 0x2C0, 0xFF);
    EXPECT_EQ(readFile(file), expected);

    r = settings({"show", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("EEPROM (1680 bytes):\n0000..068f  all ff\n"), std::string::npos) << r.out;
}

TEST_F(SettingsTool, SetChangesBytesThroughRowMovesAndKeepsTheRest)
{
    std::string file = path("user.dat");
    writeFile(file, DEFAULT_IMAGE);
    // Offset 0x78 is logical page 2: its third version moves row 2 into row 0,
    // which the fourth fills. Offsets 59 and 60 straddle logical pages 0 and 1,
    // and the second of them finds row 1 full, which then moves to row 2.
    const char* values[] = {"4142", "4344", "4546", "6162"};
    for (const char* v : values) {
        ProcessResult r = settings({"set", file, "0x78", v});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, file + ": 2 bytes written at EEPROM offset 120\n");
    }
    ProcessResult r = settings({"set", file, "59", "0102"});
    ASSERT_EQ(r.status, 0) << r.err;

    r = settings({"show", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Spare row: 1 (pages 4 to 7)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  0:8     1:9     2:3     3:1     4:12 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0000  45 58 30 31 ff ff ff ff ff ff ff ff ff ff ff ff  EX01............\n"
                         "0010..002f  all ff\n"
                         "0030  ff ff ff ff ff ff ff ff ff ff ff 01 02 ff ff ff  ................\n"
                         "0040..006f  all ff\n"
                         "0070  ff ff ff ff ff ff ff ff 61 62 ff ff ff ff ff ff  ........ab......\n"
                         "0080..068f  all ff\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(entries(), std::set<std::string>{"user.dat"});
}

// Bytes may end at the last EEPROM byte; show folds only runs of two or more
// all-0xFF lines, a single one (at the end too) stays a line.
TEST_F(SettingsTool, SetReachesTheLastByteAndShowFoldsOnlyRuns)
{
    const std::string ff = "  ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  ................\n";
    struct Case {
        std::vector<std::pair<std::string, std::string>> sets;  // offset, bytes
        std::string dump;
    } cases[] = {
        {{{"1678", "abcd"}},
         "EEPROM (1680 bytes):\n"
         "0000  45 58 30 31 ff ff ff ff ff ff ff ff ff ff ff ff  EX01............\n"
         "0010..006f  all ff\n"
         "0070  ff ff ff ff ff ff ff ff 00 ff ff ff ff ff ff ff  ................\n"
         "0080..067f  all ff\n"
         "0680  ff ff ff ff ff ff ff ff ff ff ff ff ff ff ab cd  ................\n"},
        {{{"0x50", "41"}, {"0x670", "42"}},
         "EEPROM (1680 bytes):\n"
         "0000  45 58 30 31 ff ff ff ff ff ff ff ff ff ff ff ff  EX01............\n"
         "0010..004f  all ff\n"
         "0050  41 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  A...............\n"
         "0060" + ff +
         "0070  ff ff ff ff ff ff ff ff 00 ff ff ff ff ff ff ff  ................\n"
         "0080..066f  all ff\n"
         "0670  42 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  B...............\n"
         "0680" + ff},
    };
    const std::string file = path("user.dat");
    for (const auto& c : cases) {
        writeFile(file, DEFAULT_IMAGE);
        for (const auto& [offset, bytes] : c.sets) {
            ProcessResult r = settings({"set", file, offset, bytes});
            EXPECT_EQ(r.status, 0) << offset << ": " << r.err;
        }
        ProcessResult r = settings({"show", file});
        EXPECT_EQ(r.status, 0);
        const size_t dump = r.out.find("EEPROM (");
        EXPECT_EQ(dump == std::string::npos ? r.out : r.out.substr(dump), c.dump);
    }
}

TEST_F(SettingsTool, BadInputIsRefusedAndLeavesTheFileAlone)
{
    std::string file = path("user.dat");
    std::string small = path("small.dat");
    std::string blank = path("blank.dat");
    writeFile(file, DEFAULT_IMAGE);
    writeFile(small, std::vector<uint8_t>(100, 0xFF));
    writeFile(blank, std::vector<uint8_t>(4096, 0xFF));
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{}, "", "tarvo-settings: missing command\n" + HINT},
        {{"erase", file}, "", "tarvo-settings: unknown command 'erase'\n" + HINT},
        {{"show"}, "", "tarvo-settings: show takes one FILE\n" + HINT},
        {{"default", file}, "", "tarvo-settings: default takes -o FILE\n" + HINT},
        {{"format", "-o"}, "", "tarvo-settings: format takes -o FILE\n" + HINT},
        {{"set", file, "0"}, "", "tarvo-settings: set takes FILE OFFSET HEXBYTES\n" + HINT},
        {{"set", file, "1680", "00"}, "",
         "tarvo-settings: bad OFFSET '1680': give 0 to 1679, decimal or 0x hex\n" + HINT},
        {{"set", file, "12x", "00"}, "",
         "tarvo-settings: bad OFFSET '12x': give 0 to 1679, decimal or 0x hex\n" + HINT},
        {{"set", file, "-1", "00"}, "",
         "tarvo-settings: bad OFFSET '-1': give 0 to 1679, decimal or 0x hex\n" + HINT},
        {{"set", file, "0", "abc"}, "",
         "tarvo-settings: bad HEXBYTES 'abc': give pairs of hex digits, e.g. 4558\n" + HINT},
        {{"set", file, "0", "0g"}, "",
         "tarvo-settings: bad HEXBYTES '0g': give pairs of hex digits, e.g. 4558\n" + HINT},
        {{"set", file, "1679", "0000"}, "",
         "tarvo-settings: 2 bytes at offset 1679 run past the 1680 EEPROM bytes\n" + HINT},
        {{"show", small}, "",
         "tarvo-settings: " + small + ": 100 bytes; a setting file is exactly 4096 bytes\n"},
        {{"set", small, "0", "00"}, "",
         "tarvo-settings: " + small + ": 100 bytes; a setting file is exactly 4096 bytes\n"},
        {{"show", path("missing.dat")}, "",
         "tarvo-settings: cannot open " + path("missing.dat") + ": No such file or directory\n"},
        {{"show", blank},
         blank + ": not a valid setting area: STATUS_ERR_BAD_FORMAT (no master page)\n", ""},
        {{"set", blank, "0", "00"}, "",
         "tarvo-settings: " + blank +
             ": not a valid setting area: STATUS_ERR_BAD_FORMAT (no master page); file left "
             "unchanged\n"},
        {{"default", "-o", path("no/such/dir.dat")}, "",
         "tarvo-settings: cannot create " + path("no/such/dir.dat") + ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = settings(c.args);
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.err, c.err) << what;
    }
    EXPECT_EQ(readFile(file), DEFAULT_IMAGE);
    EXPECT_EQ(readFile(blank), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(entries(), (std::set<std::string>{"user.dat", "small.dat", "blank.dat"}));
}

TEST_F(SettingsTool, ShowNamesWhyAnAreaIsRefused)
{
    struct Case {
        const char* name;
        size_t offset;
        uint8_t value;
        std::string reason;
    } cases[] = {
        {"minor version", 0xFC0 + 13, 1,
         "STATUS_ERR_IO (incompatible format: emulator id 1, version 1.1.0)"},
        {"magic word", 0xFC0, 0, "STATUS_ERR_BAD_FORMAT (no master page)"},
        {"missing logical page", 0x140, 0xFF,
         "STATUS_ERR_BAD_FORMAT (a logical page has no version)"},
        {"logical page 0's newest copy in row 3", 14 * 64, 0,
         "STATUS_ERR_BAD_FORMAT (a row holds another row's logical page)"},
    };
    std::string file = path("bad.dat");
    for (const auto& c : cases) {
        std::vector<uint8_t> image = DEFAULT_IMAGE;
        image[c.offset] = c.value;
        writeFile(file, image);
        ProcessResult r = settings({"show", file});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, file + ": not a valid setting area: " + c.reason + "\n") << c.name;
    }
}

TEST_F(SettingsTool, SetNamesWhyARowMoveIsRefused)
{
    std::vector<uint8_t> noFreeRow = DEFAULT_IMAGE;
    noFreeRow[0] = 28;  // row 0 in use by no logical page: only the master row is free
    std::vector<uint8_t> inMasterRow = DEFAULT_IMAGE;
    inMasterRow[56 * 64] = inMasterRow[57 * 64] = 0xFF;  // row 14's pages 26 and 27 ...
    inMasterRow[60 * 64] = 26;                           // ... live in the master row
    inMasterRow[61 * 64] = 27;
    struct Case {
        const char* what;
        std::vector<uint8_t> image;
        const char* offset;  // its logical page's row has one free page left
        std::string reason;
    } cases[] = {
        {"no free row", noFreeRow, "0", "no free row to move a full row into"},
        {"master row", inMasterRow, "1560",
         "the full row is the master row, which a move would erase"},
    };
    std::string file = path("user.dat");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(file, c.image);
        ProcessResult r = settings({"set", file, c.offset, "11"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> before = readFile(file);
        r = settings({"set", file, c.offset, "22"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tarvo-settings: " + file +
                             ": writing the EEPROM bytes failed: STATUS_ERR_BAD_FORMAT (" +
                             c.reason + "); file left unchanged\n");
        EXPECT_EQ(readFile(file), before);
    }
}

// A leftover temporary file of an earlier run is neither reused nor removed.
TEST_F(SettingsTool, WritingNeverReusesAnExistingTemporaryFile)
{
    std::string file = path("user.dat");
    writeFile(file + ".tmp", {1, 2, 3});
    ProcessResult r = settings({"default", "-o", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(file), DEFAULT_IMAGE);
    EXPECT_EQ(readFile(file + ".tmp"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(entries(), (std::set<std::string>{"user.dat", "user.dat.tmp"}));
}

TEST_F(SettingsTool, HelpListsTheCommands)
{
    ProcessResult r = settings({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: tarvo-settings COMMAND [ARGUMENT...]\n", 0), 0u);
    for (const char* command : {"  show FILE", "  default -o FILE", "  set FILE OFFSET HEXBYTES",
                                "  format -o FILE"})
        EXPECT_NE(r.out.find(command), std::string::npos) << command;
    EXPECT_EQ(settings({"-h"}).out, r.out);
}

TEST_F(SettingsTool, ShowReportsARowRepairAndLeavesTheFileAsItWas)
{
    // A row move into row 0 that stopped after its first page.
    std::vector<uint8_t> image = DEFAULT_IMAGE;
    std::copy(image.begin() + 0x180, image.begin() + 0x1C0, image.begin());
    std::string file = path("cut.dat");
    writeFile(file, image);

    ProcessResult r = settings({"show", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(file + ": valid setting area\n"
                                 "Row 0 duplicates another row's logical pages; opening the area "
                                 "erases it\n"
                                 "Spare row: 0 (pages 0 to 3)\n",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(readFile(file), image);
}
