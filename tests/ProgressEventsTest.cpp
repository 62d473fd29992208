// The install told as data: its steps in order with bytes that add up to
// their totals, and the same text tarvo prints; and the package listing
// that says why a file's packages do not fit.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Device.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "PackageBuilder.h"
#include "Progress.h"
#include "SimRig.h"
#include "files/StdFile.h"

namespace {

struct Recorded : Progress {
    struct Step {
        std::string name;
        uint64_t total;
        std::vector<uint64_t> done;
        bool finished = false;
    };
    std::vector<Step> steps;
    std::string out;
    void text(const std::string& t) override { out += t; }
    void stepStarted(const std::string& step, uint64_t total) override { steps.push_back({step, total, {}}); }
    void stepProgress(uint64_t done, uint64_t total) override
    {
        EXPECT_EQ(total, steps.back().total);
        steps.back().done.push_back(done);
    }
    void stepFinished() override { steps.back().finished = true; }
};

TEST(InstallProgress, StepsInOrderWithBytesThatAddUpAndTarvosText)
{
    for (const uint8_t handling : {uint8_t{0}, package::HANDLING_WITH_IMAGE}) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        const uint32_t chip = rig.adapter->options().chipId;
        PackageFields fields;
        fields.type = 'E';
        fields.hwVer.fill(0x0203);
        fields.handling = handling;
        fields.payload = patternBytes(device::romSize(chip), 3);
        if (handling == package::HANDLING_WITH_IMAGE)
            fields.image = patternBytes(4096, 4);
        TempDir dir;
        writeFile(dir.path("p.fw"), buildPackage(fields));
        TakenPackage taken;
        ASSERT_EQ(takePackage(rig.samba, chip, dir.path("p.fw").c_str(), false, taken), PackageTake::Taken);

        Recorded rec;
        InstallOptions options;
        options.progress = &rec;
        ASSERT_EQ(installPackage(rig.samba, taken, options), Install::Verified);

        const uint64_t streamed = device::romSize(chip) + (handling ? 4096 : 0);
        ASSERT_EQ(rec.steps.size(), 3u);
        const char* names[] = {phase::WRITE, phase::CHECK, phase::RESTART};
        const uint64_t totals[] = {streamed, device::romSize(chip) + 4096 + streamed, 0};
        for (size_t i = 0; i < 3; i++) {
            const Recorded::Step& s = rec.steps[i];
            EXPECT_EQ(s.name, names[i]);
            EXPECT_EQ(s.total, totals[i]);
            EXPECT_TRUE(s.finished) << s.name;
            for (size_t k = 1; k < s.done.size(); k++)
                EXPECT_LT(s.done[k - 1], s.done[k]) << s.name;
            if (s.total) {
                EXPECT_EQ(s.done.empty() ? 0 : s.done.back(), s.total) << s.name;
            }
        }
        // A report per block written.
        EXPECT_EQ(rec.steps[0].done.size(), streamed / device::BLOCK_SIZE);
        EXPECT_EQ(rec.out.rfind("Updating firmware, please wait \nDone\n", 0), 0u) << rec.out;
        EXPECT_NE(rec.out.find("\tFirmware update OK\nWarm resetting adapter ... Done\n"), std::string::npos)
            << rec.out;
    }
}

TEST(PackageListing, SaysWhatOfEachPackageFits)
{
    SimRig rig;
    const uint32_t chip = rig.adapter->options().chipId;
    const PackageTarget target{device::romSize(chip), 0x0203, 'E'};
    struct Case {
        char type;
        uint16_t board;
        uint32_t size;
        bool boardFits, typeFits, chipFits;
    } cases[] = {
        {'E', 0x0301, device::romSize(chip), false, true, true},
        {'N', 0x0203, device::romSize(chip), true, false, true},
        {'E', 0x02FF, device::romSize(chip) / 2, true, true, false},
        {'E', 0x0203, device::romSize(chip), true, true, true},
    };
    Bytes file;
    for (const Case& c : cases) {
        PackageFields fields;
        fields.type = c.type;
        fields.hwVer.fill(c.board);
        fields.payload = patternBytes(c.size, 1);
        const Bytes one = buildPackage(fields);
        file.insert(file.end(), one.begin(), one.end());
    }
    TempDir dir;
    writeFile(dir.path("all.fw"), file);
    StdFile f(fopen(dir.path("all.fw").c_str(), "rb"));
    int stopCode = FW_OK;
    const std::vector<PackageSummary> list = listPackages(f.get(), target, stopCode);
    EXPECT_EQ(stopCode, FW_NO_SIGNATURE);
    ASSERT_EQ(list.size(), std::size(cases));
    for (size_t i = 0; i < list.size(); i++) {
        EXPECT_EQ(list[i].type, cases[i].type) << i;
        EXPECT_EQ(list[i].boardFits, cases[i].boardFits) << i;
        EXPECT_EQ(list[i].typeFits, cases[i].typeFits) << i;
        EXPECT_EQ(list[i].chipFits, cases[i].chipFits) << i;
    }
}

}  // namespace
