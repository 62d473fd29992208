// tarvo-bench: measures the client, the real programs over a pseudo-
// terminal, the predicted times on a real adapter, the scan and the memory,
// and prints one table. Usage: tarvo-bench [--quick] (--quick leaves out
// the longest predictions, a firmware install and a backup over a UART).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BackupRead.h"
#include "EndToEnd.h"
#include "InProcess.h"
#include "Packages.h"
#include "ScanCost.h"
#include "StationBench.h"
#include "Table.h"
#include "TempDir.h"
#include "Verdict.h"

namespace {

constexpr double RATIO_TARGET = 1.25;
constexpr double INSTALL_CPU_TARGET = 0.2;
constexpr int SCAN_PORTS = 2;
constexpr int LONG_FILE_PACKAGES = 16;
// A shop's hub: adapters beside lines that are not adapters.
constexpr int STATION_ADAPTERS = 4;
constexpr int STATION_TRICKLING = 2;
constexpr int STATION_SILENT = 2;

struct Action {
    std::string label;
    std::vector<std::string> sim;  // tarvo-sim options
    std::vector<std::string> args;
    bool predicted;                // also run under the real adapter's model
    std::string program = "tarvo";
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
             "windows %.1f + replies %.2f + wire %.2f + erase %.2f + pages %.2f s; host +%.2f s",
             p.windows, p.replies, p.wire, p.erase, p.pages, p.run.wallSeconds - p.bound);
    return text;
}

class Bench {
public:
    explicit Bench(bool quick) : _quick(quick) {}
    int run();

private:
    bool prepare();
    void inProcess();
    void endToEnd();
    void predictions();
    void memory();
    void scan();
    void station();
    void fail(const std::string& what, const std::string& why);
    void check(const std::string& what, const std::string& quantity, double value,
               double atLeast, double atMost);
    void printNotes() const;

    bool _quick;
    TempDir _dir;
    Table _table;
    std::vector<Action> _actions;
    std::string _pkg256;
    long _installPeakKb = 0;
    std::vector<Check> _checks;
};

void Bench::fail(const std::string& what, const std::string& why)
{
    _table.row(what, "failed", 0, 0, why);
    _checks.push_back({what, why, "", 0, 0, 0});
}

void Bench::check(const std::string& what, const std::string& quantity, double value,
                  double atLeast, double atMost)
{
    _checks.push_back({what, "", quantity, value, atLeast, atMost});
}

bool Bench::prepare()
{
    const std::string settings = _dir.path("settings.dat");
    const std::string pkg128 = _dir.path("fw-128k.pkg");
    const std::string pkg256 = _pkg256 = _dir.path("fw-256k.pkg");
    if (!makeSettings(settings) || !makePackage(_dir.path(), "128k", pkg128) ||
        !makePackage(_dir.path(), "256k", pkg256))
        return false;
    _actions = {
        {"tarvo -i", {}, {"-i"}, true},
        {"tarvo -s", {}, {"-s", _dir.path("saved.dat")}, true},
        {"tarvo -u", {}, {"-u", settings}, true},
        {"tarvo -f, 128 KB chip", {"--chip=128k"}, {"-f", pkg128}, false},
        {"tarvo -f, 256 KB chip", {}, {"-f", pkg256}, true},
        {"tarvo-backup save, 256 KB chip", {}, {"--replace", "save", _dir.path("backup")}, true,
         "tarvo-backup"},
    };
    return true;
}

void Bench::inProcess()
{
    _table.section("In-process, CPU time");
    InProcessFigures f = measureInProcess();
    if (!f.ok)
        return fail("client", "no connection to the simulated adapter");
    _table.row("one 64-byte firmware block", micros(f.perBlock), 0, 0,
               "staged in RAM, copied to flash: 3 commands");
    _table.row("one setting-area word read", micros(f.perWord));
    double install = installCpuSeconds(_pkg256);
    if (install < 0)
        return fail("whole 256 KB install", "tarvo -f did not end with status 0");
    _table.row("whole 256 KB install", seconds(install), 0, 0,
               "tarvo -f through the driver, package checked and streamed from memory");
}

void Bench::endToEnd()
{
    _table.section("End to end, wall time");
    for (const Action& a : _actions) {
        Measured m = measure(a.program, a.sim, a.args, _dir.path());
        if (!m.ok) {
            fail(a.label, m.error);
            continue;
        }
        double ratio = m.run.wallSeconds / m.bound;
        // The bound counts every exchange at a round trip though block
        // stagings get no reply, so only the protocol's own waits are a
        // floor here.
        check(a.label, "wall time", m.run.wallSeconds, m.windows, 0);
        check(a.label, "ratio", ratio, 0, RATIO_TARGET);
        if (a.args[0] == "-f") {
            check(a.label, "CPU time", m.run.cpuSeconds, 0, INSTALL_CPU_TARGET);
            _installPeakKb = m.run.peakKb;
        }
        _table.row(a.label, seconds(m.run.wallSeconds), m.bound, ratio, detailOf(m));
    }
}

void Bench::predictions()
{
    _table.section("Predicted on a real adapter");
    for (const AdapterModel* model : {&USB_ADAPTER, &UART_ADAPTER}) {
        for (const Action& a : _actions) {
            bool longest = model == &UART_ADAPTER && (a.args[0] == "-f" || a.program != "tarvo");
            if (!a.predicted || (_quick && longest))
                continue;
            std::string what = a.label + ", " + model->link;
            Predicted p = predict(*model, a.program, a.sim, a.args, _dir.path());
            if (!p.ok) {
                fail(what, p.error);
                continue;
            }
            check(what, "wall time", p.run.wallSeconds, p.bound, 0);
            _table.row(what, seconds(p.run.wallSeconds), p.bound, 0, detailOf(p));
        }
    }
}

void Bench::memory()
{
    _table.section("Peak memory of tarvo -f");
    const std::string file = _dir.path("fw-long.pkg");
    if (!makeLongFile(_dir.path(), "256k", LONG_FILE_PACKAGES, file))
        return fail("long package file", "tarvo-pack failed");
    Measured m = measure("tarvo", {}, {"-f", file}, _dir.path());
    if (!m.ok)
        return fail("long package file", m.error);
    char detail[120];
    snprintf(detail, sizeof(detail), "%d packages of 256 KB, the fitting one last; %+ld KB",
             LONG_FILE_PACKAGES, m.run.peakKb - _installPeakKb);
    _table.row("one 256 KB package", kilobytes(_installPeakKb));
    _table.row("4 MB package file", kilobytes(m.run.peakKb), 0, 0, detail);
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

void Bench::station()
{
    _table.section("Many adapters, tarvo-station, wall time");
    StationFigure install = stationInstall(_pkg256, STATION_ADAPTERS);
    const std::string installWhat =
        "install --all, 256 KB, " + std::to_string(STATION_ADAPTERS) + " real adapters";
    if (!install.ok) {
        fail(installWhat, install.error);
    } else {
        double ratio = install.wallSeconds / install.aloneSeconds;
        check(installWhat, "ratio", ratio, 0, STATION_INSTALL_TARGET);
        _table.row(installWhat, seconds(install.wallSeconds), install.aloneSeconds, ratio,
                   install.detail);
    }
    stationAtShopScale(_pkg256, SHOP_ADAPTERS, _table, _checks);
    const int ports = STATION_ADAPTERS + STATION_TRICKLING + STATION_SILENT;
    StationFigure list = stationList(STATION_ADAPTERS, STATION_TRICKLING, STATION_SILENT);
    const std::string listWhat = "list, " + std::to_string(ports) + " ports";
    if (!list.ok)
        return fail(listWhat, list.error);
    double ratio = list.wallSeconds / list.aloneSeconds;
    check(listWhat, "ratio", ratio, 0, STATION_LIST_TARGET);
    _table.row(listWhat, seconds(list.wallSeconds), list.aloneSeconds, ratio, list.detail);
}

void Bench::printNotes() const
{
    printf("\nIn-process: the client and the simulated adapter in one process on a virtual "
           "clock, no real I/O.\n"
           "End to end: tarvo against tarvo-sim on a pseudo-terminal; bound = the protocol's "
           "waits on a quiet line\n"
           "  (the %.1f s settling pause, the %.1f s drain, %.1f s after each version reply) "
           "plus exchanges times\n"
           "  the round trip probed in the same run; targets: ratio <= %.2f, CPU of -f "
           "under %.1f s.\n"
           "Predicted: the same runs under tarvo-sim's model of a real adapter (USB: %u us per "
           "reply; UART: %u us per\n"
           "  byte at 115200 bit/s; %u us per row erased, %u us per page written); bound = the "
           "protocol's waits plus\n"
           "  what the link and the flash need, however fast the host; on a UART the host's "
           "share includes the\n"
           "  failed 921600 bit/s attempt and the auto-baud reads.\n"
           "Many adapters: one worker process per port; bound = the same work on one adapter "
           "(install) or on the\n"
           "  slowest port (list) alone, in the same run; targets: ratio <= %.2f (install), "
           "<= %.2f (list).\n",
           SETTLE_SECONDS, DRAIN_SECONDS, VERSION_WINDOW_SECONDS, RATIO_TARGET,
           INSTALL_CPU_TARGET, USB_ADAPTER.replyUs,
           UART_ADAPTER.byteUs, USB_ADAPTER.rowEraseUs, USB_ADAPTER.pageWriteUs,
           STATION_INSTALL_TARGET, STATION_LIST_TARGET);
}

int Bench::run()
{
    if (_dir.path().empty() || !prepare()) {
        fprintf(stderr, "tarvo-bench: cannot make the files for the runs\n");
        return 1;
    }
    inProcess();
    endToEnd();
    predictions();
    backupReadRows(_table, _checks, _dir.path(), _quick);
    memory();
    scan();
    station();

    _table.print(stdout);
    printNotes();
    const std::vector<std::string> faults = verdict(_checks);
    if (!faults.empty())
        printf("\nThe bench fails:\n");
    for (const std::string& f : faults)
        printf("  %s\n", f.c_str());
    return faults.empty() ? 0 : 1;
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
