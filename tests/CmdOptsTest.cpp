#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CmdOpts.h"
#include "TarvoXcon.h"

namespace {

// Parses a fresh copy of args with the program's table; getopt_long's
// global state is reset first, as at program start.
struct Parsed {
    int result;
    std::vector<std::string> argv;  // after getopt_long's permutation
};

Parsed parseArgs(std::vector<std::string> args, bool quiet = true)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    optind = 0;
    opterr = quiet ? 0 : 1;
    config.portArg.clear();
    CmdOpts cmd(static_cast<int>(args.size()), argv.data(), NUM_OPTS, opts);
    Parsed p;
    p.result = cmd.parse();
    opterr = 1;
    for (size_t i = 0; i < args.size(); i++)
        p.argv.push_back(argv[i]);
    return p;
}

TEST(CmdOpts, ShortLongAndBundledFormsSetTheSameFlags)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"tarvo", "-i", "-R"}, {"tarvo", "-iR"}, {"tarvo", "--info", "--reset"},
             {"tarvo", "--inf", "--res"}}) {
        Parsed p = parseArgs(args);
        EXPECT_EQ(p.result, static_cast<int>(args.size())) << args[1];
        EXPECT_TRUE(config.version) << args[1];
        EXPECT_TRUE(config.reset) << args[1];
        EXPECT_FALSE(config.firmware_write) << args[1];
        EXPECT_FALSE(config.port) << args[1];
    }
}

TEST(CmdOpts, EveryPortFormStoresTheArgument)
{
    for (auto args : std::vector<std::vector<std::string>>{{"tarvo", "-pCOM4"},
                                                           {"tarvo", "-p", "COM4"},
                                                           {"tarvo", "--port=COM4"},
                                                           {"tarvo", "--port", "COM4"},
                                                           {"tarvo", "--po", "COM4"}}) {
        Parsed p = parseArgs(args);
        EXPECT_EQ(p.result, static_cast<int>(args.size()));
        EXPECT_TRUE(config.port);
        EXPECT_EQ(config.portArg, "COM4");
    }
}

TEST(CmdOpts, RepeatedPortKeepsTheLastArgument)
{
    Parsed p = parseArgs({"tarvo", "-p", "COM1", "--port=COM9"});
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(config.portArg, "COM9");
}

TEST(CmdOpts, RejectedOptionsReturnMinusOne)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"tarvo", "-p"}, {"tarvo", "-x"}, {"tarvo", "--bogus"}, {"tarvo", "-i", "--port"}}) {
        EXPECT_EQ(parseArgs(args).result, -1) << args.back();
    }
}

// A prefix that two long options share names neither; one that only one
// has names that one.
TEST(CmdOpts, LongOptionPrefixesMustBeUnambiguous)
{
    struct Case {
        const char* option;
        bool* flag;  // nullptr: refused
    } cases[] = {
        {"--f", nullptr},
        {"--fl", &config.firmware_write},
        {"--fo", &config.force_update},
        {"--fla", &config.firmware_write},
        {"--r", &config.reset},
        {"--s", &config.eeprom_read},
        {"--u", &config.eeprom_write},
        {"--i", &config.version},
        {"--h", &config.help},
    };
    for (const auto& c : cases) {
        Parsed p = parseArgs({"tarvo", c.option, "file"});
        EXPECT_EQ(p.result, c.flag ? 2 : -1) << c.option;
        bool* all[] = {&config.firmware_write, &config.force_update, &config.reset,
                       &config.eeprom_read, &config.eeprom_write, &config.version, &config.help};
        for (bool* f : all)
            EXPECT_EQ(*f, f == c.flag) << c.option;
    }
}

TEST(CmdOpts, FlagsAreClearedOnEveryParse)
{
    parseArgs({"tarvo", "-s", "-f", "-I", "-h"});
    EXPECT_TRUE(config.eeprom_read && config.firmware_write && config.force_update && config.help);
    parseArgs({"tarvo", "-u"});
    EXPECT_TRUE(config.eeprom_write);
    EXPECT_FALSE(config.eeprom_read || config.firmware_write || config.force_update || config.help);
}

TEST(CmdOpts, OperandIsPermutedBehindTheOptions)
{
    Parsed p = parseArgs({"tarvo", "-u", "user.dat", "-R"});
    ASSERT_EQ(p.result, 3);
    EXPECT_EQ(p.argv[3], "user.dat");
    EXPECT_TRUE(config.eeprom_write);
    EXPECT_TRUE(config.reset);

    Parsed none = parseArgs({"tarvo", "-i"});
    EXPECT_EQ(none.result, 2);
}

TEST(CmdOpts, EverythingAfterDoubleDashIsAnOperand)
{
    Parsed p = parseArgs({"tarvo", "-s", "--", "-i"});
    ASSERT_EQ(p.result, 3);
    EXPECT_EQ(p.argv[3], "-i");
    EXPECT_TRUE(config.eeprom_read);
    EXPECT_FALSE(config.version);
}

TEST(CmdOpts, FindReturnsTableIndexOrCount)
{
    CmdOpts cmd(0, nullptr, NUM_OPTS, opts);
    EXPECT_EQ(cmd.find('f'), 0);
    EXPECT_EQ(cmd.find('I'), 4);
    EXPECT_EQ(cmd.find('p'), 7);
    EXPECT_EQ(cmd.find('x'), NUM_OPTS);
}

TEST(CmdOpts, IntegerAndOptionalArguments)
{
    int number = 7;
    std::string text = "keep";
    bool a = false, b = false;
    Option table[2] = {
        {'n', "number", &a, {ArgRequired, ArgInt, "N", {&number}}, "a number"},
        {'t', "text", &b, {ArgOptional, ArgString, "T", {&text}}, "a text"},
    };
    std::vector<std::string> args = {"prog", "-n", "0x1F", "--text"};
    std::vector<char*> argv;
    for (auto& s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    optind = 0;
    CmdOpts cmd(4, argv.data(), 2, table);
    EXPECT_EQ(cmd.parse(), 4);
    EXPECT_EQ(number, 0x1F);
    EXPECT_TRUE(b);
    EXPECT_EQ(text, "keep");  // an absent optional argument leaves it alone

    char* out = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&out, &size);
    cmd.usage(f);
    fclose(f);
    EXPECT_EQ(std::string(out),
              "  -n, --number=N        a number\n"
              "  -t, --text[=T]        a text\n");
    free(out);
}

}  // namespace
