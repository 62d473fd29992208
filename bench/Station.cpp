#include "Station.h"

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "PosixFd.h"
#include "SimServer.h"
#include "Spawn.h"

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

ChildRun station(const std::vector<std::string>& args, const std::string& out)
{
    std::vector<std::string> argv = {binPath("tarvo-station")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runChild(argv, out);
}

// One install --all onto a fleet of n adapters; its wall time, or -1.
double installOnto(const std::string& package, int n, const std::string& dir, std::string& error)
{
    if (::mkdir(dir.c_str(), 0755) != 0) {
        error = "cannot make " + dir;
        return -1;
    }
    Fleet fleet(dir);
    for (int i = 0; i < n && fleet.ok(); i++)
        fleet.sim(serialOf(i), {"--real-adapter", "--serial=" + serialOf(i)});
    if (!fleet.ok()) {
        error = "tarvo-sim served no terminal";
        return -1;
    }
    ChildRun run = station({"install", package, "--all", "--ports=" + fleet.pattern(),
                            "--backup-dir=" + dir + "/backups"},
                           dir + "/station.out");
    if (run.status != 0) {
        error = "exit status " + std::to_string(run.status) + " onto " + std::to_string(n);
        return -1;
    }
    return run.wallSeconds;
}

}  // namespace

StationFigure stationInstall(const std::string& package, int adapters)
{
    StationFigure f;
    TempDir dir;
    if (dir.path().empty()) {
        f.error = "no folder for the fleet";
        return f;
    }
    f.aloneSeconds = installOnto(package, 1, dir.file("one"), f.error);
    if (f.aloneSeconds < 0)
        return f;
    f.wallSeconds = installOnto(package, adapters, dir.file("many"), f.error);
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
        ChildRun run = station({"list", "--ports=" + link}, dir.file("alone.out"));
        if (run.status != 0) {
            f.error = "exit status " + std::to_string(run.status) + " listing " + link;
            return f;
        }
        if (run.wallSeconds > f.aloneSeconds) {
            f.aloneSeconds = run.wallSeconds;
            slowest = link.substr(link.rfind('/') + 1);
        }
    }
    ChildRun run = station({"list", "--ports=" + fleet.pattern()}, dir.file("list.out"));
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
