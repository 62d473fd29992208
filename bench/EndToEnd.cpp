#include "EndToEnd.h"

#include <chrono>
#include <thread>

#include "SimServer.h"

namespace {

// Enough to average out the scheduler, few enough to keep the run short.
constexpr int PROBES = 300;
// Well past the simulated monitor's restart after a jump or reset.
constexpr int QUIET_MS = 200;
// Far past the slowest run measured (a UART install, about a minute).
constexpr int RUN_TIMEOUT_MS = 600000;

std::vector<std::string> programArgs(const std::string& program, const std::string& tty,
                                     const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {binPath(program), "-p", tty};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

double protocolWindows(const std::vector<std::string>& args)
{
    int versionQueries = 1;  // the connection's own
    // tarvo -i and tarvo-backup save each ask once more, for the report.
    for (const std::string& a : args)
        versionQueries += a == "-i" || a == "save";
    return SETTLE_SECONDS + DRAIN_SECONDS + versionQueries * VERSION_WINDOW_SECONDS;
}

const AdapterModel USB_ADAPTER = {"usb", 1000, 6000, 2500, 0};
// 10 bit times at 115200 bit/s, as the simulator counts them.
const AdapterModel UART_ADAPTER = {"uart", 0, 6000, 2500, 10000000 / 115200};

Measured measure(const std::string& program, const std::vector<std::string>& simOptions,
                 const std::vector<std::string>& args, const std::string& workDir)
{
    Measured m;
    SimServer sim;
    if (!sim.start(simOptions, workDir + "/stats")) {
        m.error = "tarvo-sim served no terminal";
        return m;
    }
    double before = sim.probeRoundTrip(PROBES);
    m.run = runProcess(programArgs(program, sim.tty(), args), RUN_TIMEOUT_MS);
    // The run's last command may still be on its way to the simulator; a
    // jump would stop its monitor right under the probe.
    std::this_thread::sleep_for(std::chrono::milliseconds(QUIET_MS));
    double after = sim.probeRoundTrip(PROBES);
    auto counters = sim.stop();
    if (m.run.status != 0)
        m.error = m.run.how;
    else if (before <= 0 || after <= 0)
        m.error = "no answer to the round-trip probe";
    else if (counters.empty())
        m.error = "tarvo-sim left no counters";
    if (!m.error.empty())
        return m;
    m.roundTrip = (before + after) / 2;
    m.exchanges = counters["exchanges"] - 2 * PROBES;
    m.windows = protocolWindows(args);
    m.bound = m.windows + m.exchanges * m.roundTrip;
    m.ok = true;
    return m;
}

Predicted predict(const AdapterModel& model, const std::string& program,
                  const std::vector<std::string>& simOptions,
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
    if (!sim.start(options, workDir + "/stats")) {
        p.error = "tarvo-sim served no terminal";
        return p;
    }
    p.run = runProcess(programArgs(program, sim.tty(), args), RUN_TIMEOUT_MS);
    auto c = sim.stop();
    if (p.run.status != 0)
        p.error = p.run.how;
    else if (c.empty())
        p.error = "tarvo-sim left no counters";
    if (!p.error.empty())
        return p;
    p.replies = c["replies"] * model.replyUs / 1e6;
    p.wire = (c["bytes_in"] + c["bytes_out"]) * model.byteUs / 1e6;
    p.erase = c["rows_erased"] * model.rowEraseUs / 1e6;
    p.pages = c["pages_written"] * model.pageWriteUs / 1e6;
    p.windows = protocolWindows(args);
    p.bound = p.windows + p.replies + p.wire + p.erase + p.pages;
    p.counters = c;
    p.ok = true;
    return p;
}
