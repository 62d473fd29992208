// The install's first steps in their order: the erase, the preparation
// command x#, then the first block. x# readies the erased flash for the
// copies; sent before the erase, it would prepare nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include "Device.h"
#include "PackageBuilder.h"
#include "SimPortFactory.h"
#include "TarvoRun.h"

namespace {

TEST(FirmwareStepOrder, EraseThenPrepareThenTheFirstBlock)
{
    for (uint8_t handling : {0, 1}) {
        SCOPED_TRACE(handling);
        auto adapter = std::make_shared<SimAdapter>();
        PackageFields p;
        p.type = 'E';
        p.hwVer.fill(adapter->options().hardwareVersion);
        p.handling = handling;
        p.payload = patternBytes(device::romSize(adapter->options().chipId), 3);
        TempDir dir;
        writeFile(dir.path("fw.pkg"), buildPackage(p));
        SimPortFactory factory;
        factory.addAdapter("SIM", adapter);
        TarvoRun run = runTarvoInProcess({"-p", "SIM", "-f", dir.path("fw.pkg")}, factory);
        ASSERT_EQ(run.status, 0) << run.out << run.err;

        const auto& commands = adapter->record.commands;
        auto erase = std::find_if(commands.begin(), commands.end(),
                                  [](const std::string& c) { return c[0] == 'X'; });
        ASSERT_GE(commands.end() - erase, 3);
        EXPECT_EQ(erase[1], "x#");
        EXPECT_EQ(erase[2], "S20000000,00000040#");
        // Nothing of the three comes earlier.
        EXPECT_EQ(std::count_if(commands.begin(), erase,
                                [](const std::string& c) { return c[0] == 'x' || c[0] == 'S'; }),
                  0);
    }
}

}  // namespace
