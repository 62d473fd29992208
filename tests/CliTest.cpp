// Runs the built program and compares exactly what it prints.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "ChildProcess.h"

namespace {

const std::string HINT = "Try 'tarvo -h' or 'tarvo --help' for more information\n";

ProcessResult tarvo(std::vector<std::string> args)
{
    args.insert(args.begin(), binPath("tarvo"));
    return runProcess(args, 20000);
}

TEST(Cli, NoArgumentsPrintsBannerAndHint)
{
    ProcessResult r = tarvo({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Corvane Didir Avediro Firmware Updater 0.6\n\n");
    EXPECT_EQ(r.err, "You must specify at least one option\n" + HINT);
}

TEST(Cli, UsageErrorsPrintTheirMessageAndHint)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-s", "-u", "user.dat"}, "tarvo: eeprom read option is exclusive of write or clear\n"},
        {{"-f", "-s", "fw.bin"},
         "tarvo: firmware update option is exclusive of setting save or update\n"},
        {{"-u", "-f", "fw.bin"},
         "tarvo: firmware update option is exclusive of setting save or update\n"},
        {{"-f"}, "tarvo: missing file\n"},
        {{"-h", "-s"}, "tarvo: missing file\n"},
        {{"-i", "file"}, "tarvo: extra arguments found\n"},
        {{"-f", "a.fw", "b.fw"}, "tarvo: extra arguments found\n"},
        {{"-x"}, "tarvo: invalid option -- 'x'\n"},
        {{"-p"}, "tarvo: option requires an argument -- 'p'\n"},
        {{"--nonsense"}, "tarvo: unrecognized option '--nonsense'\n"},
        // Nothing is opened: "--f" could be the install as well as -I.
        {{"--f", "fw.bin"},
         "tarvo: option '--f' is ambiguous; possibilities: '--flash' '--force'\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = tarvo(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.err + HINT) << c.args[0];
    }
}

TEST(Cli, HelpTextIsExactAndExitsWithOne)
{
    ProcessResult r = tarvo({"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Usage: tarvo [OPTION...] [FILE]\n"
              "Corvane Didir Avediro Firmware Updater 0.5\n"
              "\n"
              "\n"
              "Examples:\n"
              "  tarvo -i                     # Display the adapter info,\n"
              "  tarvo -R                     # Power cycle adapter,\n"
              "  tarvo -f qz-vrt-1.0.fw       # Erase and update adapter firmware with "
              "qz-vrt-1.0.fw file,\n"
              "  tarvo -u user.dat            # Update adapter setting with user.dat file,\n"
              "  tarvo -s user.dat            # Save current adapter setting into file user.dat\n"
              "\n"
              "Options:\n"
              "  -f, --flash           Erase and update with firmware file\n"
              "  -u, --update          Update adapter setting from file\n"
              "  -s, --save            Save current adapter setting into file\n"
              "  -i, --info            Show the version of adapter\n"
              "  -I, --force           Force firmware update\n"
              "  -h, --help            Display this help text\n"
              "  -R, --reset           Power recycle adapter\n"
              "  -p, --port=PORT       Use serial PORT to communicate to device;\n"
              "                        default behavior is to auto-scan all serial ports\n"
              "\n"
              "Report bugs/problems to the tarvo issue tracker\n");
}

// The README shows the help as the program prints it, so they cannot drift.
TEST(Cli, ReadmeUsageBlockIsTheHelpText)
{
    std::ifstream in(std::string(TARVO_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(in);
    std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string open = "```\nUsage: tarvo ";
    size_t start = readme.find(open);
    ASSERT_NE(start, std::string::npos);
    start += 4;
    size_t end = readme.find("\n```\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(readme.substr(start, end + 1 - start), tarvo({"--help"}).out);
}

TEST(Cli, ProgramNameIsShortened)
{
    // The messages show argv[0] shortened; the shell's exec -a chooses it.
    struct Case {
        std::string argv0, shown;
    } cases[] = {
        {"/some/dir/tarvo", "tarvo"},
        {"C:\\tools\\x\\updater.exe", "updater.exe"},
        {"a/b\\c", "b\\c"},
        {"plain", "plain"},
    };
    for (const auto& c : cases) {
        ProcessResult r = runProcess(
            {"/bin/bash", "-c", "exec -a '" + c.argv0 + "' '" + binPath("tarvo") + "' -f"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.shown + ": missing file\nTry '" + c.shown + " -h' or '" + c.shown +
                             " --help' for more information\n");
    }
}

}  // namespace
