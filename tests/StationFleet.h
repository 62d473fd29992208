// Simulated adapters and other ports, each a link in one folder that
// --ports points at, and what the station tests read back from them.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "Pty.h"

namespace station_test {

using Fields = std::map<std::string, std::string>;

// The string and number fields of one flat JSON object; empty when the line
// is not one.
inline Fields parseObject(const std::string& line)
{
    Fields fields;
    // null (a value not there) reads as empty.
    static const std::regex field(
        "\"([a-z_]+)\":(\"((?:[^\"\\\\]|\\\\.)*)\"|(-?[0-9.]+)|null)");
    if (line.empty() || line.front() != '{' || line.back() != '}')
        return fields;
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it)
        fields[(*it)[1]] = (*it)[3].matched ? (*it)[3].str()
                         : (*it)[4].matched ? (*it)[4].str()
                                            : std::string();
    return fields;
}

inline std::vector<Fields> objects(const std::string& out, const std::string& event)
{
    std::vector<Fields> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        Fields f = parseObject(line);
        EXPECT_FALSE(f.empty()) << "not a JSON object: " << line;
        if (f["event"] == event)
            found.push_back(f);
    }
    return found;
}

// How a run ended, for a failure message: its output without the step
// lines (which would push the results out of a shortened log), then stderr.
inline std::string ending(const ProcessResult& r)
{
    std::string kept;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (line.find("\"event\":\"step\"") == std::string::npos)
            kept += line + "\n";
    return r.how + "\n" + kept +
           "stderr:\n" + r.err;
}

inline Fields bySerial(const std::vector<Fields>& list, const std::string& serial)
{
    for (const Fields& f : list)
        if (f.at("serial") == serial)
            return f;
    return {};
}

// The keys of an object, in order.
inline std::vector<std::string> keysOf(const Fields& fields)
{
    std::vector<std::string> keys;
    for (const auto& [key, value] : fields)
        keys.push_back(key);
    return keys;
}

// Every kind of --json line and its one set of keys, in order.
inline const std::map<std::string, std::vector<std::string>>& eventKeys()
{
    static const std::map<std::string, std::vector<std::string>> keys = {
        {"adapter", {"board", "bootloader", "chip", "event", "firmware", "flash", "fw_extra",
                     "fw_word", "port", "rom", "serial", "type"}},
        {"result", {"backup", "detail", "event", "firmware_after", "firmware_before", "port",
                    "restore", "result", "seconds", "serial"}},
        {"step", {"event", "percent", "port", "serial", "step"}},
        {"check", {"answer", "detail", "event", "formula", "port", "serial"}},
        {"port", {"event", "port", "status"}},  {"skip", {"event", "port", "reason", "serial"}},
        {"missing", {"event", "serial"}},       {"waiting", {"event", "message"}},
        {"stopping", {"event", "message"}}};
    return keys;
}

// Each line of out is a known kind with its keys, and ASCII whatever the adapters hold.
inline void expectKnownKeys(const std::string& out)
{
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        Fields f = parseObject(line);
        auto kind = eventKeys().find(f["event"]);
        ASSERT_NE(kind, eventKeys().end()) << line;
        EXPECT_EQ(keysOf(f), kind->second) << line;
        EXPECT_TRUE(std::all_of(line.begin(), line.end(),
                                [](unsigned char c) { return c >= 0x20 && c < 0x7F; }))
            << line;
    }
}

// The file's text once it holds that many lines (or the limit passed).
inline std::string waitForLines(const std::string& path, long lines, int limitMs = 60000)
{
    std::string text;
    for (int waited = 0; waited < limitMs && std::count(text.begin(), text.end(), '\n') < lines;
         waited += 50, usleep(50000)) {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
}

inline std::map<std::string, long> readStats(const std::string& path)
{
    std::map<std::string, long> stats;
    std::ifstream in(path);
    std::string name;
    long value;
    while (in >> name >> value)
        stats[name] = value;
    return stats;
}

inline bool pathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Simulated adapters and other ports, each a link in one folder.
class Fleet {
public:
    Fleet() { ::mkdir(_dir.path("ports").c_str(), 0755); }

    std::string ports() const { return _dir.path("ports") + "/*"; }
    std::string port(const std::string& name) const { return _dir.path("ports/" + name); }
    std::string file(const std::string& name) const { return _dir.path(name); }
    std::string statsOf(const std::string& name) const { return _dir.path(name + ".stats"); }
    std::string flashOf(const std::string& name) const { return _dir.path(name + ".flash"); }

    // tarvo-sim with options, its flash and counters kept beside the folder.
    void start(const std::string& name, std::vector<std::string> options)
    {
        std::vector<std::string> argv = {binPath("tarvo-sim"), "--link-path=" + port(name),
                                         "--stats=" + statsOf(name), "--state=" + flashOf(name)};
        argv.insert(argv.end(), options.begin(), options.end());
        _sims[name] = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(_sims[name]->waitForOutput("\n", 5000)) << name;
        for (int i = 0; i < 100 && !pathExists(port(name)); i++)
            usleep(10000);
        ASSERT_TRUE(pathExists(port(name)));
    }

    // A terminal that never says anything.
    void silent(const std::string& name)
    {
        _silent.push_back(Pty::open());
        ASSERT_FALSE(_silent.back().path.empty());
        ASSERT_EQ(::symlink(_silent.back().path.c_str(), port(name).c_str()), 0);
    }

    // Ends the simulator; its counters.
    std::map<std::string, long> stop(const std::string& name)
    {
        auto it = _sims.find(name);
        if (it == _sims.end())
            return {};
        it->second->signal(SIGTERM);
        it->second->finish(10000);
        _sims.erase(it);
        return readStats(statsOf(name));
    }

    void package(const std::string& path, uint16_t swVer, uint8_t seed)
    {
        const std::string payload = _dir.path("payload");
        for (const char* chip : {"256k", "128k"}) {
            const bool first = std::string(chip) == "256k";
            writeFile(payload, patternBytes(first ? 0x3E000 : 0x1E000, seed));
            std::vector<std::string> argv = {binPath("tarvo-pack"), "create", "--type=E",
                                             "--hw=0x0203", "--sw-ver=" + std::to_string(swVer),
                                             "--fit=" + std::string(chip)};
            if (!first)
                argv.push_back("--append");
            argv.insert(argv.end(), {payload, path});
            ProcessResult r = runProcess(argv);
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }

private:
    TempDir _dir;
    std::map<std::string, std::unique_ptr<ChildProcess>> _sims;
    std::vector<Pty> _silent;
};

inline ProcessResult station(std::vector<std::string> args, int timeoutMs = 120000)
{
    args.insert(args.begin(), binPath("tarvo-station"));
    return runProcess(args, timeoutMs);
}

// What one probe costs an adapter: the commands of a list on its own.
inline long probeCommands()
{
    Fleet fleet;
    fleet.start("one", {"--serial=PROBE001"});
    station({"list", "--ports=" + fleet.ports()});
    return fleet.stop("one")["commands"];
}

// A package file of one 256 KB package (type E, board 0x0203) with payload;
// scratch is a file it may use.
inline void writePackage256k(const std::string& path, const Bytes& payload, uint16_t swVer,
                             const std::string& scratch)
{
    writeFile(scratch, payload);
    ProcessResult r = runProcess({binPath("tarvo-pack"), "create", "--type=E", "--hw=0x0203",
                                  "--sw-ver=" + std::to_string(swVer), "--fit=256k", scratch,
                                  path});
    ASSERT_EQ(r.status, 0) << r.err;
}

// Jumps and resets: each restarts the adapter.
inline long restartsOf(std::map<std::string, long> stats) { return stats["resets"] + stats["jumps"]; }

// The JSON lines of a worker run on its own, each after its mark.
inline std::vector<Fields> workerObjects(const std::string& out, const std::string& event)
{
    std::vector<Fields> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '\x1e')
            continue;
        Fields f = parseObject(line.substr(1));
        if (f["event"] == event)
            found.push_back(f);
    }
    return found;
}

// The worker pids of the station, from the kernel's list of its children.
inline std::vector<int> childrenOf(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> pids;
    int child;
    while (in >> child)
        pids.push_back(child);
    return pids;
}

// This test's child that runs tarvo-station.
inline int stationChild()
{
    std::string name;
    for (int p : childrenOf(getpid()))
        if (std::ifstream("/proc/" + std::to_string(p) + "/comm") >> name && name == "tarvo-station")
            return p;
    return -1;
}

}  // namespace station_test
