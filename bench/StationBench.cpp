#include "StationBench.h"

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "ChildProcess.h"
#include "SimServer.h"
#include "TempDir.h"
#include "files/PosixFd.h"

namespace {

// Simulated adapters and other ports, each a link in one folder, as a shop's
// --ports=PATTERN finds them.
class Fleet {
public:
    explicit Fleet(const std::string& dir) : _dir(dir)
    {
        _ok = ::mkdir(ports().c_str(), 0755) == 0;
    }
    bool ok() const { return _ok; }
    std::string ports() const { return _dir + "/ports"; }
    std::string pattern() const { return ports() + "/*"; }
    const std::vector<std::string>& links() const { return _links; }

    bool sim(const std::string& name, std::vector<std::string> options)
    {
        const std::string link = ports() + "/" + name;
        options.push_back("--link-path=" + link);
        _sims.push_back(std::make_unique<SimServer>());
        if (!_sims.back()->start(options, _dir + "/" + name + ".stats"))
            return _ok = false;
        // The link comes up just after the terminal's path is printed.
        for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; i++)
            usleep(5000);
        _links.push_back(link);
        return _ok = _ok && access(link.c_str(), F_OK) == 0;
    }

    // A terminal that never says anything.
    bool silent(const std::string& name)
    {
        int master, slave;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return _ok = false;
        _ptys.emplace_back(master);
        _ptys.emplace_back(slave);
        const std::string link = ports() + "/" + name;
        _links.push_back(link);
        return _ok = _ok && ::symlink(ttyname(slave), link.c_str()) == 0;
    }

private:
    std::string _dir;
    bool _ok = false;
    std::vector<std::unique_ptr<SimServer>> _sims;
    std::vector<PosixFd> _ptys;
    std::vector<std::string> _links;
};

std::string serialOf(int i)
{
    char text[16];
    snprintf(text, sizeof(text), "SB%06d", i + 1);
    return text;
}

// Far past the longest station run measured.
constexpr int RUN_TIMEOUT_MS = 600000;
// How often the station's resident peak is looked at while it runs.
constexpr int SAMPLE_MS = 20;

ProcessResult station(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {binPath("tarvo-station")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, RUN_TIMEOUT_MS);
}

// A station run, and the station process's own share of it beside its workers'.
struct StationRun {
    int status = -1;
    double wallSeconds = -1;
    double ownCpu = 0;      // the station process alone (its threads included)
    double allCpu = 0;      // with its workers
    long ownPeakKb = 0;     // the station process's resident peak
    long largestKb = 0;     // the largest of it and its workers
};

long highWaterKb(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// utime and stime of a process (its threads, not its children), in seconds.
double ownCpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    double ticks = 0;
    // Fields 3 on; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; i++)
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs the station, sampling its resident peak until it ends and reading its
// own CPU time before it is reaped; the reaping gives the whole tree's.
StationRun runStation(const std::vector<std::string>& args)
{
    StationRun run;
    std::vector<std::string> argv = {binPath("tarvo-station")};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    const int pid = static_cast<int>(child.pid());
    if (pid < 0)
        return run;
    while (!child.ended(SAMPLE_MS))
        run.ownPeakKb = std::max(run.ownPeakKb, highWaterKb(pid));
    run.ownCpu = ownCpuSeconds(pid);
    const ProcessResult r = child.finish(RUN_TIMEOUT_MS);
    run.status = r.status;
    run.wallSeconds = r.wallSeconds;
    run.allCpu = r.cpuSeconds;
    run.largestKb = r.peakKb;
    return run;
}

// One install --all onto a fleet of n adapters; its wall time -1 on failure.
StationRun installRun(const std::string& package, int n, const std::string& dir, std::string& error)
{
    StationRun none;
    if (::mkdir(dir.c_str(), 0755) != 0) {
        error = "cannot make " + dir;
        return none;
    }
    Fleet fleet(dir);
    for (int i = 0; i < n && fleet.ok(); i++)
        fleet.sim(serialOf(i), {"--real-adapter", "--serial=" + serialOf(i)});
    if (!fleet.ok()) {
        error = "tarvo-sim served no terminal";
        return none;
    }
    StationRun run = runStation({"install", package, "--all", "--ports=" + fleet.pattern(),
                                 "--backup-dir=" + dir + "/backups"});
    if (run.status != 0) {
        error = "exit status " + std::to_string(run.status) + " onto " + std::to_string(n);
        run.wallSeconds = -1;
    }
    return run;
}

double installOnto(const std::string& package, int n, const std::string& dir, std::string& error)
{
    return installRun(package, n, dir, error).wallSeconds;
}

}  // namespace

StationFigure stationInstall(const std::string& package, int adapters)
{
    StationFigure f;
    TempDir dir;
    f.aloneSeconds = installOnto(package, 1, dir.path("one"), f.error);
    if (f.aloneSeconds < 0)
        return f;
    f.wallSeconds = installOnto(package, adapters, dir.path("many"), f.error);
    if (f.wallSeconds < 0)
        return f;
    char text[160];
    snprintf(text, sizeof(text),
             "%d at once, each backed up first; bound: one alone; target ratio <= %.2f",
             adapters, STATION_INSTALL_TARGET);
    f.detail = text;
    f.ok = true;
    return f;
}

StationFigure stationList(int adapters, int trickling, int silent)
{
    StationFigure f;
    TempDir dir;
    Fleet fleet(dir.path());
    for (int i = 0; i < adapters; i++)
        fleet.sim("adapter" + std::to_string(i), {"--real-adapter", "--serial=" + serialOf(i)});
    for (int i = 0; i < trickling; i++)
        fleet.sim("trickle" + std::to_string(i), {"--trickle"});
    for (int i = 0; i < silent; i++)
        fleet.silent("silent" + std::to_string(i));
    if (!fleet.ok()) {
        f.error = "the ports did not come up";
        return f;
    }
    // Each port alone first, so the slowest is known.
    std::string slowest;
    for (const std::string& link : fleet.links()) {
        ProcessResult run = station({"list", "--ports=" + link});
        if (run.status != 0) {
            f.error = "exit status " + std::to_string(run.status) + " listing " + link;
            return f;
        }
        if (run.wallSeconds > f.aloneSeconds) {
            f.aloneSeconds = run.wallSeconds;
            slowest = link.substr(link.rfind('/') + 1);
        }
    }
    ProcessResult run = station({"list", "--ports=" + fleet.pattern()});
    if (run.status != 0) {
        f.error = "exit status " + std::to_string(run.status);
        return f;
    }
    f.wallSeconds = run.wallSeconds;
    // The slowest port's kind, without its number.
    while (!slowest.empty() && slowest.back() >= '0' && slowest.back() <= '9')
        slowest.pop_back();
    char text[200];
    snprintf(text, sizeof(text),
             "%d adapters, %d trickling, %d silent; bound: the slowest alone (%s); target "
             "ratio <= %.2f",
             adapters, trickling, silent, slowest.c_str(), STATION_LIST_TARGET);
    f.detail = text;
    f.ok = true;
    return f;
}

void stationAtShopScale(const std::string& package, int adapters, Table& table,
                        std::vector<Check>& checks)
{
    const std::string what =
        "install --all, 256 KB, " + std::to_string(adapters) + " real adapters";
    const std::string shareWhat = "station's own CPU per adapter, " + std::to_string(adapters);
    TempDir dir;
    std::string error;
    StationRun alone, many;
    if ((alone = installRun(package, 1, dir.path("one"), error)).wallSeconds > 0)
        many = installRun(package, adapters, dir.path("many"), error);
    if (alone.wallSeconds <= 0 || many.wallSeconds <= 0) {
        table.row(what, "failed", 0, 0, error);
        checks.push_back({what, error, "", 0, 0, 0});
        return;
    }
    const double ratio = many.wallSeconds / alone.wallSeconds;
    checks.push_back({what, "", "ratio", ratio, 0, STATION_INSTALL_TARGET});
    char text[240];
    snprintf(text, sizeof(text),
             "%d at once, each backed up first; bound: one alone; target ratio <= %.2f",
             adapters, STATION_INSTALL_TARGET);
    table.row(what, seconds(many.wallSeconds), alone.wallSeconds, ratio, text);
    const double n = adapters;
    snprintf(text, sizeof(text),
             "alone %.3f s; with workers %.3f s (alone %.3f s); peak: station %ld KB (alone "
             "%ld KB), largest process %ld KB",
             alone.ownCpu, (many.allCpu) / n, alone.allCpu, many.ownPeakKb, alone.ownPeakKb,
             many.largestKb);
    table.row(shareWhat, seconds(many.ownCpu / n), 0, 0, text);
}
