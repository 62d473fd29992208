#include "EndToEnd.h"

#include "SimServer.h"

namespace {

// Enough to average out the scheduler, few enough to keep the run short.
constexpr int PROBES = 300;

std::vector<std::string> tarvoArgs(const std::string& tty, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {binPath("tarvo"), "-p", tty};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

const AdapterModel USB_ADAPTER = {"usb", 1000, 6000, 2500, 0};
// 10 bit times at 115200 bit/s, as the simulator counts them.
const AdapterModel UART_ADAPTER = {"uart", 0, 6000, 2500, 10000000 / 115200};

Measured measure(const std::vector<std::string>& simOptions, const std::vector<std::string>& args,
                 const std::string& workDir)
{
    Measured m;
    SimServer sim;
    if (!sim.start(simOptions, workDir + "/stats"))
        return m;
    double before = sim.probeRoundTrip(PROBES);
    m.run = runChild(tarvoArgs(sim.tty(), args), workDir + "/tarvo.out");
    double after = sim.probeRoundTrip(PROBES);
    auto counters = sim.stop();
    if (before <= 0 || after <= 0 || counters.empty())
        return m;
    m.roundTrip = (before + after) / 2;
    m.exchanges = counters["exchanges"] - 2 * PROBES;
    m.bound = SETTLE_SECONDS + m.exchanges * m.roundTrip;
    m.ok = m.run.status == 0;
    return m;
}

Predicted predict(const AdapterModel& model, const std::vector<std::string>& simOptions,
                  const std::vector<std::string>& args, const std::string& workDir)
{
    Predicted p;
    std::vector<std::string> options = {
        std::string("--link=") + model.link,
        "--reply-us=" + std::to_string(model.replyUs),
        "--erase-us=" + std::to_string(model.rowEraseUs),
        "--page-us=" + std::to_string(model.pageWriteUs),
    };
    if (model.byteUs > 0)
        options.push_back("--uart-byte-time");
    options.insert(options.end(), simOptions.begin(), simOptions.end());

    SimServer sim;
    if (!sim.start(options, workDir + "/stats"))
        return p;
    p.run = runChild(tarvoArgs(sim.tty(), args), workDir + "/tarvo.out");
    auto c = sim.stop();
    if (c.empty())
        return p;
    p.replies = c["replies"] * model.replyUs / 1e6;
    p.wire = (c["bytes_in"] + c["bytes_out"]) * model.byteUs / 1e6;
    p.erase = c["rows_erased"] * model.rowEraseUs / 1e6;
    p.pages = c["pages_written"] * model.pageWriteUs / 1e6;
    p.bound = SETTLE_SECONDS + p.replies + p.wire + p.erase + p.pages;
    p.ok = p.run.status == 0;
    return p;
}
