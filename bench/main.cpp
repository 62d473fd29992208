// tarvo-bench: measures the client, the real programs over a pseudo-
// terminal, the predicted times on a real adapter, the scan and the memory,
// and prints one table. Usage: tarvo-bench [--quick] (--quick leaves out
// the longest prediction, a firmware install over a UART).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "EEPROM_Init.h"
#include "EndToEnd.h"
#include "InProcess.h"
#include "ScanCost.h"
#include "Spawn.h"
#include "Table.h"

namespace {

constexpr double RATIO_TARGET = 1.25;
constexpr int SCAN_PORTS = 2;

struct Action {
    const char* label;
    std::vector<std::string> args;
};

std::string detailOf(const Measured& m)
{
    char text[160];
    snprintf(text, sizeof(text), "%.0f exchanges, round trip %.1f us, CPU %.3f s, peak %ld KB",
             m.exchanges, m.roundTrip * 1e6, m.run.cpuSeconds, m.run.peakKb);
    return text;
}

// Where the time goes: the bound's parts, then what the host added.
std::string detailOf(const Predicted& p)
{
    char text[200];
    snprintf(text, sizeof(text),
             "settle %.1f + replies %.2f + wire %.2f + erase %.2f + pages %.2f s; host +%.2f s",
             SETTLE_SECONDS, p.replies, p.wire, p.erase, p.pages, p.run.wallSeconds - p.bound);
    return text;
}

class Bench {
public:
    explicit Bench(bool quick) : _quick(quick) {}
    int run();

private:
    void inProcess();
    void endToEnd(const std::vector<Action>& actions);
    void predictions(const std::vector<Action>& actions);
    void scan();
    void fail(const std::string& what, const std::string& why);

    bool _quick;
    TempDir _dir;
    Table _table;
    int _failures = 0;
    int _missed = 0;
};

void Bench::fail(const std::string& what, const std::string& why)
{
    _table.row(what, "failed", 0, 0, why);
    _failures++;
}

void Bench::inProcess()
{
    _table.section("In-process, CPU time");
    InProcessFigures f = measureInProcess();
    if (!f.ok)
        return fail("client", "no connection to the simulated adapter");
    _table.row("one 64-byte firmware block", micros(f.perBlock), 0, 0,
               "stage in RAM, copy to flash: 3 commands");
    _table.row("one setting-area word read", micros(f.perWord));
}

void Bench::endToEnd(const std::vector<Action>& actions)
{
    _table.section("End to end, wall time");
    for (const Action& a : actions) {
        Measured m = measure({}, a.args, _dir.path());
        if (!m.ok) {
            fail(a.label, "exit status " + std::to_string(m.run.status));
            continue;
        }
        double ratio = m.run.wallSeconds / m.bound;
        _missed += ratio > RATIO_TARGET;
        _table.row(a.label, seconds(m.run.wallSeconds), m.bound, ratio, detailOf(m));
    }
}

void Bench::predictions(const std::vector<Action>& actions)
{
    _table.section("Predicted on a real adapter");
    for (const AdapterModel* model : {&USB_ADAPTER, &UART_ADAPTER}) {
        for (const Action& a : actions) {
            std::string what = std::string(a.label) + ", " + model->link;
            bool longest = model == &UART_ADAPTER && a.args[0] == "-f";
            if (_quick && longest)
                continue;
            Predicted p = predict(*model, {}, a.args, _dir.path());
            if (!p.ok) {
                fail(what, "exit status " + std::to_string(p.run.status));
                continue;
            }
            _table.row(what, seconds(p.run.wallSeconds), p.bound, 0, detailOf(p));
        }
    }
}

void Bench::scan()
{
    _table.section("Automatic scan, per port without adapter");
    for (bool usb : {true, false}) {
        const char* what = usb ? "USB port" : "plain port";
        double s = scanSecondsPerPort(usb, SCAN_PORTS);
        if (s < 0)
            fail(what, "no walk over pseudo-terminals");
        else
            _table.row(what, seconds(s), 0, 0,
                       usb ? "921600 bit/s, then 115200 with auto-baud" : "115200 with auto-baud");
    }
}

int Bench::run()
{
    if (_dir.path().empty()) {
        fprintf(stderr, "tarvo-bench: no temporary directory\n");
        return 1;
    }
    std::string settings = _dir.file("settings.dat");
    std::ofstream(settings, std::ios::binary)
        .write(reinterpret_cast<const char*>(g_myData.data()),
               static_cast<std::streamsize>(g_myData.size()));

    std::vector<Action> actions = {
        {"tarvo -i", {"-i"}},
    };

    inProcess();
    endToEnd(actions);
    predictions(actions);
    scan();

    _table.print(stdout);
    printf("\nIn-process: the client and the simulated adapter in one process on a virtual "
           "clock, no real I/O.\n"
           "End to end: the release tarvo against tarvo-sim on a pseudo-terminal; bound = the "
           "%.1f s settling pause\n"
           "  plus exchanges times the round trip probed in the same run; target ratio <= %.2f.\n"
           "Predicted: the same runs under tarvo-sim's model of a real adapter (USB: %u us per "
           "reply; UART: %u us per\n"
           "  byte at 115200 bit/s; %u us per row erased, %u us per page written); bound = what "
           "the link and the flash\n"
           "  need however fast the host; the host's share includes the protocol's idle windows.\n",
           SETTLE_SECONDS, RATIO_TARGET, USB_ADAPTER.replyUs, UART_ADAPTER.byteUs,
           USB_ADAPTER.rowEraseUs, USB_ADAPTER.pageWriteUs);
    if (_failures || _missed)
        printf("%d run(s) failed, %d ratio(s) above target\n", _failures, _missed);
    return _failures || _missed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    if (argc > (quick ? 2 : 1)) {
        fprintf(stderr, "Usage: tarvo-bench [--quick]\n");
        return 1;
    }
    return Bench(quick).run();
}
