// The automatic scan over simulated ports: each port is opened as the
// factory says it is, USB or a plain UART.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SimClock.h"
#include "SimPortFactory.h"
#include "TarvoRun.h"

namespace {

// A plain UART must be opened at 115200 only and greeted with the auto-baud
// bytes; only a USB port is tried at 921600 first. A scan that took every
// port for USB would send raw commands at the wrong speed first.
TEST(AutoScan, EachPortIsOpenedAsTheFactorySaysItIs)
{
    struct Case {
        const char* what;
        bool adapterOnUsb;
        std::vector<int> adapterOpens;
        bool autoBaudFirst;
    } cases[] = {
        {"adapter on a plain UART", false, {115200}, true},
        {"adapter on USB", true, {921600}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimOptions options;
        options.link = c.adapterOnUsb ? SimLink::Usb : SimLink::Uart;
        auto adapter = std::make_shared<SimAdapter>(options);
        SimPortFactory factory;
        factory.addSilent("ttyACM0", true);
        factory.addSilent("ttyS0", false);
        factory.addAdapter("ttyX", adapter, c.adapterOnUsb);
        TarvoRun run = runTarvoInProcess({"-i"}, factory);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "Corvane adapter found on ttyX");

        EXPECT_EQ(factory.log("ttyACM0")->opens, (std::vector<int>{921600, 115200}));
        EXPECT_EQ(factory.log("ttyS0")->opens, std::vector<int>{115200});
        EXPECT_EQ(factory.log("ttyX")->opens, c.adapterOpens);
        const std::vector<uint8_t>& sent = factory.log("ttyX")->sent;
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 3) ==
                      (std::vector<uint8_t>{0x80, 0x80, '#'}),
                  c.autoBaudFirst);
    }
}

}  // namespace
