// tarvo-station list --check on a fleet of monitors that sum differently and
// that store or change what they are sent: each adapter's answer, the run's
// status, and not one writing command on any of them. And what many workers
// at once must not share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include <map>
#include <string>
#include <vector>

#include "Checksum.h"
#include "PackageBuilder.h"
#include "StationFleet.h"

using namespace station_test;

namespace {

constexpr size_t FIRMWARE_BASE = 0x1000, SETTINGS_BASE = 0x3F000;
constexpr uint8_t KEY = 0x5A;

Bytes makerPackage(const Bytes& payload, uint16_t swVer, uint32_t plainCksum)
{
    PackageFields fields;
    fields.type = 'E';
    fields.swVer = swVer;
    fields.hwVer.fill(0x0203);
    fields.plainCksum = plainCksum;
    fields.payload = payload;
    return buildPackage(fields);
}

TEST(StationCheck, EachAdapterGetsItsAnswerAndNothingIsWritten)
{
    Fleet fleet;
    // A monitor that stores what it is sent holds the maker's package of
    // 0x0105 as it is; a decoding monitor holds its own image of 0x0106.
    Fleet twin;
    twin.start("t", {});
    twin.stop("t");
    const Bytes twinFlash = readFile(twin.flashOf("t"));
    ASSERT_EQ(twinFlash.size(), 0x40000u);
    const Bytes stored(twinFlash.begin() + FIRMWARE_BASE, twinFlash.begin() + SETTINGS_BASE);
    Bytes decoded;
    for (uint8_t b : stored)
        decoded.push_back(b ^ KEY);
    const uint8_t words[8] = {0x06, 0x01, 0x03, 0x0A, 0x02, 0x45, 0x00, 0x00};
    std::copy(words, words + 8, decoded.end() - 16);
    Bytes sent;
    for (uint8_t b : decoded)
        sent.push_back(b ^ KEY);
    const std::string plainPkg = fleet.file("plain.fw"), decodingPkg = fleet.file("decoding.fw");
    writeFile(plainPkg, makerPackage(stored, 0x0105, byteSum(stored)));
    writeFile(decodingPkg, makerPackage(sent, 0x0106, crc32Checksum(decoded.data(), decoded.size())));

    struct Adapter {
        const char* name;
        std::vector<std::string> options;
        const Bytes* firmware;
    };
    const Adapter adapters[] = {
        {"sum", {"--serial=SN0000SU", "--checksum=sum"}, &stored},
        {"crc", {"--serial=SN0000CR", "--checksum=crc32", "--link=uart"}, &stored},
        // Its serial number reaches neither the terminal nor JSON raw.
        {"xor", {"--serial=X\x1b[2J\xffYZ", "--checksum=crc32", "--xor-after-initd=0x5A"},
         &decoded},
    };
    // Each adapter's own flash (its serial number is in it), with that firmware.
    std::map<std::string, Bytes> flashes;
    // Gone part way through every check: never an answer.
    fleet.start("gone", {"--serial=SN0000GO", "--gone-after=50"});
    for (const Adapter& a : adapters) {
        fleet.start(a.name, a.options);
        fleet.stop(a.name);
        Bytes& flash = flashes[a.name] = readFile(fleet.flashOf(a.name));
        ASSERT_EQ(flash.size(), 0x40000u);
        std::copy(a.firmware->begin(), a.firmware->end(), flash.begin() + FIRMWARE_BASE);
        writeFile(fleet.flashOf(a.name), flash);
        fleet.start(a.name, a.options);
    }
    fleet.start("noise", {"--trickle"});
    fleet.silent("quiet");

    const std::string all = "--ports=" + fleet.ports();
    const std::string plainOnes = "--ports=" + fleet.port("sum") + "," + fleet.port("crc");
    struct Run {
        std::string ports, package;
        std::map<std::string, std::string> answers;  // by port name
        int status;
    };
    const Run runs[] = {
        {all, plainPkg,
         {{"sum", "restores"}, {"crc", "restores"}, {"xor", "other-package"}, {"gone", "unknown"}}, 3},
        {all, decodingPkg,
         {{"sum", "other-package"}, {"crc", "other-package"}, {"xor", "changes"}, {"gone", "unknown"}}, 1},
        {all, "", {{"sum", "unknown"}, {"crc", "unknown"}, {"xor", "unknown"}, {"gone", "unknown"}}, 3},
        {plainOnes, plainPkg, {{"sum", "restores"}, {"crc", "restores"}}, 0},
        {"--ports=" + fleet.port("quiet"), plainPkg, {}, 3},
    };
    const std::map<std::string, std::string> formulas = {
        {"sum", "32-bit byte sum"}, {"crc", "CRC-32"}, {"xor", "CRC-32"}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.ports + " " + run.package);
        const auto listCheck = [&](bool json) {
            std::vector<std::string> args = {"list", "--check", run.ports};
            if (json)
                args.push_back("--json");
            if (!run.package.empty())
                args.push_back(run.package);
            return station(args);
        };
        ProcessResult r = listCheck(true);
        EXPECT_EQ(r.status, run.status) << ending(r);
        expectKnownKeys(r.out);
        std::map<std::string, std::string> answers;
        for (Fields& f : objects(r.out, "check")) {
            const std::string name = f["port"].substr(f["port"].rfind('/') + 1);
            answers[name] = f["answer"];
            if (name == "gone") {
                EXPECT_EQ(f["formula"], "");
                EXPECT_EQ(f["detail"].rfind("the check ended without an answer (", 0), 0u) << f["detail"];
                continue;
            }
            EXPECT_EQ(f["formula"], formulas.at(name)) << name;
            EXPECT_FALSE(f["detail"].empty());
        }
        EXPECT_EQ(answers, run.answers) << r.out;
        if (&run != &runs[0])
            continue;
        // The same in words: a line a port, two under each adapter, a sum-up.
        ProcessResult text = listCheck(false);
        EXPECT_EQ(text.status, run.status);
        EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 6 + 2 * 4 + 1) << text.out;
        EXPECT_NE(text.out.find("SN X\\x1B[2J\\xFFYZ  PCB"), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("    check: backups restore; checksum formula: CRC-32\n"),
                  std::string::npos);
        EXPECT_EQ(std::count_if(text.out.begin(), text.out.end(),
                                [](unsigned char c) { return (c < 0x20 && c != '\n') || c >= 0x7F; }),
                  0);
        EXPECT_NE(text.out.find("\nChecked 4 adapters: 2 restore, 1 run other firmware than the "
                                "package, 1 not known\n"),
                  std::string::npos);
    }
    for (const Adapter& a : adapters) {
        std::map<std::string, long> stats = fleet.stop(a.name);
        EXPECT_GT(stats["commands"], 0) << a.name;
        ASSERT_EQ(stats.count("writing_commands"), 1u);
        EXPECT_EQ(stats["writing_commands"] + stats["rows_erased"] + stats["pages_written"], 0)
            << a.name;
        EXPECT_EQ(readFile(fleet.flashOf(a.name)), flashes[a.name]) << a.name;
    }
}

// Each worker holds its own output pipe and no other: a pipe end another
// worker kept open would hold the station until that one ended too.
TEST(StationScale, AWorkerHoldsNoOtherWorkersPipe)
{
    Fleet fleet;
    const std::vector<std::string> names = {"a", "b", "c"};
    for (const std::string& name : names)
        fleet.start(name, {"--serial=SN00000" + name, "--page-us=2000"});
    const std::string pkg = fleet.file("fw.pkg");
    fleet.package(pkg, 0x0107, 6);
    ChildProcess run({binPath("tarvo-station"), "install", pkg, "--ports=" + fleet.ports(), "--all",
                      "--json", "--backup-dir=" + fleet.file("backups")});
    ASSERT_TRUE(run.waitForOutput("\"step\":\"install\"", 30000)) << run.out();
    std::vector<int> workers;
    for (int i = 0; i < 100 && workers.size() < names.size(); i++, usleep(20000))
        workers = childrenOf(stationChild());
    ASSERT_EQ(workers.size(), names.size());
    std::set<std::string> pipes;
    for (int worker : workers) {
        const std::string fds = "/proc/" + std::to_string(worker) + "/fd/";
        int held = 0;
        for (int fd = 0; fd < 256; fd++) {
            char target[256];
            const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("pipe:", 0) == 0) {
                held++;
                pipes.insert(std::string(target, static_cast<size_t>(n)));
            }
        }
        EXPECT_EQ(held, 1) << worker;
    }
    EXPECT_EQ(pipes.size(), names.size());
    ProcessResult r = run.finish(60000);
    EXPECT_EQ(r.status, 0) << ending(r);
}

}  // namespace
