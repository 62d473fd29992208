// list, install and watch: choosing the adapters and following their workers.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "fleet/AdapterSelect.h"
#include "files/FileReplace.h"
#include "PlatformPortFactory.h"
#include "Report.h"
#include "Station.h"
#include "TextEscape.h"
#include "WorkerPool.h"

namespace {

using Clock = std::chrono::steady_clock;

// A port that keeps a probe longer than this is given up (a Bluetooth port
// can block its open for seconds).
constexpr int PROBE_LIMIT_MS = 10000;
// watch: how often the ports are looked up, and when a port that gave no
// adapter is tried again (an adapter may still be starting).
constexpr int POLL_MS = 500;
constexpr int RETRY_MS = 5000;
constexpr int WAIT_STEP_MS = 100;

volatile std::sig_atomic_t g_interrupts = 0;

// Ctrl-C, SIGTERM and the terminal's hang-up all ask the same: the first
// takes no new work and waits for the running installs, the next stops them.
extern "C" void onInterrupt(int sig)
{
    g_interrupts = g_interrupts + 1;
    std::signal(sig, onInterrupt);
}

const int STOP_SIGNALS[] = {
    SIGINT, SIGTERM,
#if defined(SIGHUP)
    SIGHUP,
#endif
};

// While installs run, the stop signals are handled.
void catchStopSignals(bool on)
{
    for (int sig : STOP_SIGNALS)
        std::signal(sig, on ? onInterrupt : SIG_DFL);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> portsToTry(const StationOptions& options)
{
    if (!options.ports.empty())
        return expandPortPatterns(options.ports);
    std::vector<std::string> ports;
    PortFactory factory;
    for (std::string p = factory.begin(); p != factory.end(); p = factory.next())
        ports.push_back(p);
    return ports;
}

// What a probe found on one port.
struct PortFinding {
    std::string port;
    bool adapter = false;
    std::string status;     // why not, when no adapter
    JsonFields info;        // the adapter's fields
    JsonFields check;       // list --check: the check's answer
    std::string checkFailure;  // why a check's worker failed, when it said
};

std::string traceName(const std::string& serial, const std::string& port)
{
    std::string name = serial;
    if (name.empty())
        name = std::filesystem::path(port).filename().string();
    for (char& c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              c == '-' || c == '_'))
            c = '_';
    return name.empty() ? "port" : name;
}

// The worker's trace into DIR/NAME.trace, through the file-writing unit.
void writeTrace(const StationOptions& options, const std::string& name, const std::string& text)
{
    if (options.traceDir.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(options.traceDir, ec);
    std::string error;
    if (!writeFileAtomically(options.traceDir + "/" + name + ".trace",
                             reinterpret_cast<const uint8_t*>(text.data()), text.size(), error))
        fprintf(stderr, "tarvo-station: trace not written: %s\n", error.c_str());
}

// Probes every port at once, each in a worker of its own with a time limit.
std::vector<PortFinding> probeAll(const StationOptions& options, const std::string& self,
                                  const std::vector<std::string>& ports)
{
    std::vector<PortFinding> found(ports.size());
    WorkerPool pool(self);
    std::map<size_t, size_t> byWorker;
    const Clock::time_point started = Clock::now();
    for (size_t i = 0; i < ports.size(); i++) {
        found[i].port = ports[i];
        WorkerRequest request;
        request.kind = options.check ? "check" : "probe";
        request.port = ports[i];
        if (options.check)
            request.package = options.package;
        request.named = !options.ports.empty();
        request.trace = !options.traceDir.empty();
        std::string error;
        long w = pool.start(workerArguments(request), error);
        if (w < 0)
            found[i].status = "not probed: " + error;
        else
            byWorker[static_cast<size_t>(w)] = i;
    }
    std::set<size_t> timedOut;
    size_t open = byWorker.size();
    bool stopped = false;
    while (open > 0) {
        // A check reads for as long as its link needs; Ctrl-C ends them all.
        if (g_interrupts > 0 && !stopped) {
            stopped = true;
            pool.terminateAll();
        }
        WorkerEvent event;
        if (!pool.next(event, WAIT_STEP_MS)) {
            if (secondsSince(started) * 1000 > PROBE_LIMIT_MS)
                for (auto& [w, i] : byWorker)
                    if (found[i].status.empty() && !found[i].adapter && timedOut.insert(w).second)
                        pool.terminate(w);
            continue;
        }
        PortFinding& f = found[byWorker[event.worker]];
        if (event.ended) {
            open--;
            if (!f.adapter && f.status.empty())
                f.status = timedOut.count(event.worker) ? "no answer (time limit)"
                                                        : "probe ended: " + event.end.how;
            if (options.check && f.adapter && f.check.empty()) {
                // No answer is never taken for one: the check could not tell.
                f.check["answer"] = "unknown";
                f.check["status"] = "3";
                const std::string why = f.checkFailure.empty() ? event.end.how : f.checkFailure;
                f.check["detail"] = "the check ended without an answer (" + why + ")";
            }
            writeTrace(options, traceName(f.adapter ? f.info["serial"] : "", f.port), event.text);
        } else if (event.fields["event"] == "adapter") {
            f.adapter = true;
            f.info = event.fields;
        } else if (event.fields["event"] == "port") {
            f.status = event.fields["status"];
        } else if (event.fields["event"] == "check") {
            f.check = event.fields;
        } else if (event.fields["event"] == "result") {
            f.checkFailure = event.fields["detail"];
        }
    }
    return found;
}

JsonLine adapterLine(const JsonFields& info)
{
    JsonLine line;
    line.set("event", "adapter");
    for (const char* key : {"port", "serial", "board", "type", "chip", "flash", "firmware", "rom",
                            "fw_word", "fw_extra", "bootloader"}) {
        auto it = info.find(key);
        std::string value = it == info.end() ? "" : it->second;
        if (std::string(key) == "flash")
            line.set(key, static_cast<int64_t>(std::strtoll(value.c_str(), nullptr, 10)));
        else
            line.set(key, value);
    }
    return line;
}

// Follows install workers: at most jobs at a time, the report kept current.
class Installs {
public:
    Installs(const StationOptions& options, const std::string& self, Report& report)
        : _options(options), _pool(self), _report(report)
    {
    }

    void add(const PortFinding& adapter)
    {
        InstallJob job;
        job.port = adapter.port;
        auto get = [&](const char* key) {
            auto it = adapter.info.find(key);
            return it == adapter.info.end() ? std::string() : it->second;
        };
        job.serial = get("serial");
        job.before = get("firmware");
        _jobs.push_back(job);
        _started.push_back(Clock::now());
        _worker.push_back(-1);
    }

    // Starts what the job limit allows; true while any job is unfinished.
    bool pump(bool takeNew = true)
    {
        size_t running = 0;
        for (size_t i = 0; i < _jobs.size(); i++)
            running += _worker[i] >= 0 && _jobs[i].result.empty();
        for (size_t i = 0; i < _jobs.size() && takeNew; i++) {
            if (_worker[i] >= 0 || !_jobs[i].result.empty())
                continue;
            if (_options.jobs > 0 && running >= static_cast<size_t>(_options.jobs))
                break;
            WorkerRequest request;
            request.kind = "install";
            request.port = _jobs[i].port;
            request.named = !_options.ports.empty();
            request.serial = _jobs[i].serial;
            request.package = _options.package;
            request.backupDir = _options.backupDir;
            request.logFile = _options.logFile;
            request.dryRun = _options.dryRun;
            request.trace = !_options.traceDir.empty();
            std::string error;
            _started[i] = Clock::now();
            _worker[i] = _pool.start(workerArguments(request), error);
            if (_worker[i] < 0) {
                finish(i, "failed", "worker not started: " + error);
                continue;
            }
            _byWorker[static_cast<size_t>(_worker[i])] = i;
            running++;
            _jobs[i].step = "starting";
            _report.progress(_jobs, i);
        }
        for (const InstallJob& job : _jobs)
            if (job.result.empty())
                return true;
        return false;
    }

    // Handles the next event within waitMs; true when a job finished.
    bool step(int waitMs)
    {
        WorkerEvent event;
        if (!_pool.next(event, waitMs))
            return false;
        const size_t i = _byWorker[event.worker];
        InstallJob& job = _jobs[i];
        if (event.ended) {
            _byWorker.erase(event.worker);
            writeTrace(_options, traceName(job.serial, job.port), event.text);
            if (job.result.empty()) {
                // No result line: the worker died, which is never success.
                finish(i, "failed", "worker ended without a result (" + event.end.how + ")" +
                                        (job.erased ? "; " + leftState(job) : ""));
                return true;
            }
            return false;
        }
        JsonFields& f = event.fields;
        if (f["event"] == "step") {
            job.step = f["step"];
            job.percent = f.count("percent") ? std::atoi(f["percent"].c_str()) : -1;
            if (job.step == "install" || job.step == "restore")
                job.erased = true;
            // Known before the erase, so a worker that dies can name it.
            if (f.count("backup"))
                job.backup = f["backup"];
            _report.progress(_jobs, i);
        } else if (f["event"] == "adapter") {
            job.before = f["firmware"];
        } else if (f["event"] == "result") {
            takeResult(i, event);
            return true;
        }
        return false;
    }

    // First Ctrl-C: where each running install is (--json: its steps say it).
    void sayRunning()
    {
        if (_report.json())
            return;
        for (size_t i = 0; i < _jobs.size(); i++) {
            const InstallJob& job = _jobs[i];
            if (_worker[i] < 0 || !job.result.empty())
                continue;
            _report.line(escapeBytes(job.serial) + " on " + escapeControls(job.port) + ": " +
                         job.step +
                         (job.percent >= 0 ? " " + std::to_string(job.percent) + "%" : "") +
                         (job.erased ? ", erased: left to finish" : ", left to finish"));
        }
    }

    // First Ctrl-C: what has not started stays untouched.
    void dropQueued()
    {
        for (size_t i = 0; i < _jobs.size(); i++)
            if (_worker[i] < 0 && _jobs[i].result.empty())
                finish(i, "stopped", "not started; the adapter is untouched");
    }

    // Second Ctrl-C: ends every running worker and says what each leaves.
    void stopAll()
    {
        for (size_t i = 0; i < _jobs.size(); i++) {
            if (_worker[i] >= 0 && _jobs[i].result.empty())
                _pool.terminate(static_cast<size_t>(_worker[i]));
            else if (_worker[i] < 0 && _jobs[i].result.empty())
                finish(i, "stopped", "not started; the adapter is untouched");
        }
        while (running() > 0) {
            WorkerEvent event;
            if (!_pool.next(event, WAIT_STEP_MS))
                continue;
            const size_t i = _byWorker[event.worker];
            if (event.ended) {
                _byWorker.erase(event.worker);
                writeTrace(_options, traceName(_jobs[i].serial, _jobs[i].port), event.text);
                if (_jobs[i].result.empty())
                    finish(i, "stopped", leftState(_jobs[i]));
            } else if (event.fields["event"] == "step" && event.fields.count("backup")) {
                _jobs[i].backup = event.fields["backup"];
            } else if (event.fields["event"] == "result" && _jobs[i].result.empty()) {
                takeResult(i, event);
            }
        }
    }

    size_t running() const
    {
        size_t n = 0;
        for (size_t i = 0; i < _jobs.size(); i++)
            n += _worker[i] >= 0 && _jobs[i].result.empty();
        return n;
    }
    const std::vector<InstallJob>& jobs() const { return _jobs; }
    bool anyFailed() const
    {
        for (const InstallJob& job : _jobs)
            if (job.result != "ok" && job.result != "dry-run")
                return true;
        return false;
    }
    void showResultLines(bool on) { _resultLines = on; }

private:
    // What the adapter holds after a stop, and the command that puts it back.
    std::string leftState(const InstallJob& job) const
    {
        if (!job.erased)
            return "stopped before the install; the adapter is untouched";
        std::string text = "stopped during the " + job.step +
                           ": its firmware may be incomplete; install again with "
                           "'tarvo -p " + job.port + " -f " + _options.package + "'";
        if (!job.backup.empty())
            text += " or put the backup back with 'tarvo-backup -p " + job.port + " restore " +
                    job.backup + "'";
        return text;
    }

    // A worker's result line; the worker wrote its own log line, or says why not.
    void takeResult(size_t i, WorkerEvent& event)
    {
        JsonFields& f = event.fields;
        InstallJob& job = _jobs[i];
        job.after = f["firmware_after"];
        if (!f["backup"].empty())
            job.backup = f["backup"];
        job.restore = f["restore"];
        std::string detail = f["detail"];
        std::string message = oneLine(_pool.lastMessage(event.worker));
        if (f["result"] != "ok" && f["result"] != "dry-run" && !message.empty() &&
            message != detail)
            detail += " (" + message + ")";
        // Stopped between blocks: what the adapter holds and what puts it back.
        if (f["result"] == "stopped")
            detail = leftState(job) + (detail.empty() ? "" : "; " + detail);
        const bool logged = f.count("log") > 0;
        if (logged && f["log"] != "ok")
            _report.logFailed(f["log"]);
        finish(i, f["result"], detail, logged);
    }

    void finish(size_t i, const std::string& result, const std::string& detail, bool logged = false)
    {
        InstallJob& job = _jobs[i];
        job.result = result;
        job.detail = detail;
        job.seconds = secondsSince(_started[i]);
        job.percent = -1;
        _report.progress(_jobs, i);
        _report.result(job, logged);
        if (_resultLines && !_report.json()) {
            char text[64];
            snprintf(text, sizeof(text), "%.1f s", job.seconds);
            _report.line(escapeBytes(job.serial) + " on " + escapeControls(job.port) + ": " +
                         escapeBytes(result) +
                         (job.restore.empty() ? "" : ", restore " + escapeBytes(job.restore)) +
                         " (" + (job.before.empty() ? "-" : escapeBytes(job.before)) + " -> " +
                         (job.after.empty() ? "-" : escapeBytes(job.after)) + ", " + text + ")" +
                         (detail.empty() || result == "ok" ? "" : ": " + escapeControls(detail)));
        }
    }

    const StationOptions& _options;
    WorkerPool _pool;
    Report& _report;
    std::vector<InstallJob> _jobs;
    std::vector<Clock::time_point> _started;
    std::vector<long> _worker;
    std::map<size_t, size_t> _byWorker;
    bool _resultLines = false;
};

std::string describe(const PortFinding& f)
{
    if (!f.adapter)
        return escapeControls(f.port) + "  " + escapeControls(f.status);
    auto get = [&](const char* key) {
        auto it = f.info.find(key);
        return it == f.info.end() ? std::string() : it->second;
    };
    long flash = std::strtol(get("flash").c_str(), nullptr, 10);
    return escapeControls(f.port) + "  SN " + escapeBytes(get("serial")) + "  PCB " +
           escapeBytes(get("board")) + "  type " + escapeBytes(get("type")) + "  chip " +
           escapeBytes(get("chip")) + " (" + std::to_string(flash / 1024) + " KB)  firmware " +
           escapeBytes(get("fw_word")) + " " + escapeBytes(get("fw_extra")) + "  bootloader \"" +
           escapeBytes(get("bootloader")) + "\"";
}

// list --check: the answers' words, and the run's status from them.
const char* answerWords(const std::string& answer)
{
    if (answer == "restores")
        return "backups restore";
    if (answer == "changes")
        return "the monitor changes what it is sent";
    if (answer == "other-package")
        return "the package is not the firmware it runs";
    return "not known";
}

JsonLine checkLine(const PortFinding& f)
{
    const auto get = [&](const char* key) {
        auto it = f.check.find(key);
        return it == f.check.end() ? std::string() : it->second;
    };
    JsonLine line;
    line.set("event", "check")
        .set("port", f.port)
        .set("serial", get("serial").empty() ? f.info.at("serial") : get("serial"))
        .set("answer", get("answer"))
        .setOrNull("formula", get("formula"))
        .set("detail", get("detail"));
    return line;
}

// Two lines under the adapter's: the answer and formula, then the words of the
// check (the package's name in them is the user's, escaped all the same).
std::string describeCheck(const JsonFields& check)
{
    const auto get = [&](const char* key) {
        auto it = check.find(key);
        return it == check.end() ? std::string() : it->second;
    };
    const std::string formula = get("formula");
    std::string text = "    check: " + std::string(answerWords(get("answer"))) +
                       "; checksum formula: " + (formula.empty() ? "-" : escapeControls(formula));
    std::string detail = get("detail");
    size_t start = 0;
    while (start < detail.size()) {
        size_t end = detail.find('\n', start);
        if (end == std::string::npos)
            end = detail.size();
        text += "\n    " + escapeControls(detail.substr(start, end - start));
        start = end + 1;
    }
    return text;
}

// 1 when any adapter's backups cannot come back, else 3 when any could not
// be told (or none was found), else 0.
class CheckTally {
public:
    void add(const JsonFields& check)
    {
        auto it = check.find("answer");
        const std::string answer = it == check.end() ? "unknown" : it->second;
        _counts[answer]++;
        auto status = check.find("status");
        const int s = status == check.end() ? 3 : std::atoi(status->second.c_str());
        _cannot = _cannot || s == 1;
        _unknown = _unknown || s != 0;
        _adapters++;
    }
    int status() const
    {
        if (_cannot)
            return EXIT_ADAPTER_FAILED;
        return _unknown || _adapters == 0 ? EXIT_CHECK_UNKNOWN : EXIT_ALL_OK;
    }
    std::string summary() const
    {
        if (_adapters == 0)
            return "No adapter checked";
        std::string text = "Checked " + std::to_string(_adapters) +
                           (_adapters == 1 ? " adapter: " : " adapters: ");
        const char* const kinds[][2] = {{"restores", "restore"},
                                        {"changes", "change what they are sent"},
                                        {"other-package", "run other firmware than the package"},
                                        {"unknown", "not known"}};
        bool first = true;
        for (const auto& kind : kinds) {
            auto it = _counts.find(kind[0]);
            if (it == _counts.end())
                continue;
            text += (first ? "" : ", ") + std::to_string(it->second) + " " + kind[1];
            first = false;
        }
        return text;
    }

private:
    std::map<std::string, size_t> _counts;
    size_t _adapters = 0;
    bool _cannot = false, _unknown = false;
};

// A Ctrl-C since the last look: the first takes no new adapters (and ends
// the probes) while the running installs finish, another ends those too.
// True when the loop is to end now.
bool takeInterrupts(int& seen, bool& takeNew, Installs& installs, Report& report,
                    WorkerPool* probes = nullptr)
{
    if (g_interrupts == seen)
        return false;
    seen = g_interrupts;
    if (seen == 1) {
        takeNew = false;
        if (probes)
            probes->terminateAll();
        report.notice("stopping",
                      "Stopping: waiting for the running installs (Ctrl-C again ends them)");
        installs.sayRunning();
        installs.dropQueued();
        return false;
    }
    installs.stopAll();
    return true;
}

// The run's own outputs, checked before any adapter is touched: the log's
// folder must be there and the log writable (made empty when new, so the
// workers that append to it at once never race to create it), and the
// backups' folder made, or for a dry run makeable, and writable.
bool outputsUsable(const StationOptions& options, bool backups)
{
    namespace fs = std::filesystem;
    if (!options.logFile.empty()) {
        std::error_code ec;
        const fs::path log(options.logFile);
        const fs::path folder = log.has_parent_path() ? log.parent_path() : fs::path(".");
        std::string error;
        if (!fs::is_directory(folder, ec)) {
            fprintf(stderr, "tarvo-station: cannot write the log %s: no folder %s\n",
                    options.logFile.c_str(), folder.string().c_str());
            return false;
        }
        if (!appendLogLine(options.logFile, "", error)) {
            fprintf(stderr, "tarvo-station: cannot write the log: %s\n", error.c_str());
            return false;
        }
    }
    if (!backups)
        return true;
    std::error_code ec;
    fs::path folder(options.backupDir);
    if (!options.dryRun) {
        fs::create_directories(folder, ec);
    } else {
        // Nothing is made by a dry run: the nearest folder there must take one.
        while (!fs::exists(folder, ec) && folder.has_parent_path() &&
               folder.parent_path() != folder)
            folder = folder.parent_path();
        if (!fs::exists(folder, ec))
            folder = ".";
    }
    // A folder made and taken away again shows the backups can go there.
    const fs::path trial = folder / (".tarvo-station-check-" + std::to_string(
                                         Clock::now().time_since_epoch().count()));
    if (!fs::is_directory(folder, ec) || !fs::create_directory(trial, ec)) {
        fprintf(stderr, "tarvo-station: cannot make backups in %s%s%s\n",
                options.backupDir.c_str(), ec ? ": " : "", ec ? ec.message().c_str() : "");
        return false;
    }
    fs::remove(trial, ec);
    return true;
}

// The run's status, a log line not written being a failure of it.
int runStatus(int status, const Report& report, const StationOptions& options)
{
    if (report.logOk())
        return status;
    fprintf(stderr, "tarvo-station: the log %s lacks results of this run\n",
            options.logFile.c_str());
    return status == EXIT_ALL_OK ? EXIT_ADAPTER_FAILED : status;
}

}  // namespace

int listCommand(const StationOptions& options, const std::string& self)
{
    Report report(options);
    if (options.check)
        catchStopSignals(true);
    const std::vector<PortFinding> found = probeAll(options, self, portsToTry(options));
    if (options.check)
        catchStopSignals(false);
    CheckTally tally;
    for (const PortFinding& f : found) {
        if (options.json) {
            if (f.adapter) {
                report.jsonLine(adapterLine(f.info));
                if (options.check)
                    report.jsonLine(checkLine(f));
            } else {
                JsonLine line;
                line.set("event", "port").set("port", f.port).set("status", f.status);
                report.jsonLine(line);
            }
        } else {
            report.line(describe(f));
            if (options.check && f.adapter)
                report.line(describeCheck(f.check));
        }
        if (options.check && f.adapter)
            tally.add(f.check);
    }
    if (found.empty() && !options.json)
        report.line("No serial ports found");
    if (!options.check)
        return EXIT_ALL_OK;
    if (!options.json)
        report.line(tally.summary());
    return tally.status();
}

int installCommand(const StationOptions& options, const std::string& self)
{
    if (!outputsUsable(options, true))
        return EXIT_ADAPTER_FAILED;
    Report report(options);
    const std::vector<PortFinding> found = probeAll(options, self, portsToTry(options));
    Installs installs(options, self, report);
    std::vector<std::string> missing;
    for (const std::string& serial : options.serials) {
        bool any = false;
        for (const PortFinding& f : found)
            any = any || (f.adapter && f.info.at("serial") == serial);
        if (!any)
            missing.push_back(serial);
    }
    for (const PortFinding& f : found) {
        if (!f.adapter)
            continue;
        bool chosen = options.all;
        for (const std::string& serial : options.serials)
            chosen = chosen || f.info.at("serial") == serial;
        if (chosen) {
            if (options.json)
                report.jsonLine(adapterLine(f.info));
            installs.add(f);
        }
    }
    for (const std::string& serial : missing) {
        if (options.json) {
            JsonLine line;
            line.set("event", "missing").set("serial", serial);
            report.jsonLine(line);
        }
        fprintf(stderr, "tarvo-station: no adapter with serial number %s found\n",
                escapeBytes(serial).c_str());
    }
    if (installs.jobs().empty()) {
        if (missing.empty())
            fprintf(stderr, "tarvo-station: no adapter found\n");
        return missing.empty() ? EXIT_ADAPTER_FAILED : EXIT_SERIAL_NOT_FOUND;
    }

    catchStopSignals(true);
    int seen = 0;
    bool takeNew = true;
    while (installs.pump(takeNew)) {
        installs.step(WAIT_STEP_MS);
        if (takeInterrupts(seen, takeNew, installs, report))
            break;
        if (!takeNew && installs.running() == 0)
            break;
    }
    catchStopSignals(false);
    report.table(installs.jobs());
    if (installs.anyFailed())
        return runStatus(EXIT_ADAPTER_FAILED, report, options);
    return runStatus(missing.empty() ? EXIT_ALL_OK : EXIT_SERIAL_NOT_FOUND, report, options);
}

namespace {

// The watch's ports: a probe on each that comes, the adapters found handed
// to the installs, once per serial number in a session.
class PortWatch {
public:
    PortWatch(const StationOptions& options, const std::string& self, Report& report,
              Installs& installs)
        : _options(options), _report(report), _installs(installs), _probes(self)
    {
    }

    WorkerPool& probes() { return _probes; }

    // Every POLL_MS: the ports there now, each probed unless taken care of.
    void poll()
    {
        if (Clock::now() < _nextPoll)
            return;
        _nextPoll = Clock::now() + std::chrono::milliseconds(POLL_MS);
        const std::vector<std::string> now = portsToTry(_options);
        forgetGone(now);
        for (const std::string& p : now) {
            PortState& state = _ports[p];
            if (state.probing || state.settled || Clock::now() < state.retryAt || installing(p))
                continue;
            startProbe(p, state);
        }
    }

    // What the probes said; takeNew false: nothing more is installed.
    void takeFindings(bool takeNew)
    {
        WorkerEvent event;
        while (_probes.next(event, 0)) {
            PortState& state = _ports[_probeOf[event.worker]];
            if (!event.ended) {
                if (event.fields["event"] == "adapter") {
                    state.finding.adapter = true;
                    state.finding.info = event.fields;
                }
                continue;
            }
            _probeOf.erase(event.worker);
            state.probing = false;
            if (!state.finding.adapter) {
                state.retryAt = Clock::now() + std::chrono::milliseconds(RETRY_MS);
                continue;
            }
            state.settled = true;
            if (takeNew)
                found(state.finding);
        }
    }

private:
    struct PortState {
        bool probing = false;
        bool settled = false;    // an adapter taken care of, or an answer to keep
        bool unstarted = false;  // its probe could not be started (said once)
        Clock::time_point retryAt;
        PortFinding finding;
    };

    // A port that went away is forgotten, so it is probed when it comes back.
    void forgetGone(const std::vector<std::string>& now)
    {
        for (auto it = _ports.begin(); it != _ports.end();) {
            bool present = false;
            for (const std::string& p : now)
                present = present || p == it->first;
            if (!present && !it->second.probing)
                it = _ports.erase(it);
            else
                ++it;
        }
    }

    bool installing(const std::string& port) const
    {
        for (const InstallJob& job : _installs.jobs())
            if (job.port == port && job.result.empty())
                return true;
        return false;
    }

    void startProbe(const std::string& port, PortState& state)
    {
        WorkerRequest request;
        request.kind = "probe";
        request.port = port;
        request.named = !_options.ports.empty();
        std::string error;
        const long worker = _probes.start(workerArguments(request), error);
        if (worker >= 0) {
            state.probing = true;
            state.unstarted = false;
            state.finding = PortFinding();
            state.finding.port = port;
            _probeOf[static_cast<size_t>(worker)] = port;
            return;
        }
        // Out of processes or threads for now: said, and tried again later.
        state.retryAt = Clock::now() + std::chrono::milliseconds(RETRY_MS);
        if (state.unstarted)
            return;
        state.unstarted = true;
        if (_options.json) {
            JsonLine line;
            line.set("event", "port").set("port", port).set("status", "not probed: " + error);
            _report.jsonLine(line);
        } else {
            _report.line(escapeControls(port) + "  not probed: " + escapeControls(error));
        }
    }

    void found(PortFinding& finding)
    {
        const std::string serial = finding.info["serial"];
        if (!_serialsSeen.insert(serial).second) {
            if (_options.json) {
                JsonLine line;
                line.set("event", "skip").set("port", finding.port).set("serial", serial)
                    .set("reason", "already seen in this session");
                _report.jsonLine(line);
            }
            return;
        }
        if (_options.json)
            _report.jsonLine(adapterLine(finding.info));
        _installs.add(finding);
    }

    const StationOptions& _options;
    Report& _report;
    Installs& _installs;
    WorkerPool _probes;
    std::map<std::string, PortState> _ports;
    std::map<size_t, std::string> _probeOf;
    std::set<std::string> _serialsSeen;
    Clock::time_point _nextPoll = Clock::now();
};

}  // namespace

int watchCommand(const StationOptions& options, const std::string& self)
{
    if (!outputsUsable(options, true))
        return EXIT_ADAPTER_FAILED;
    Report report(options);
    Installs installs(options, self, report);
    installs.showResultLines(true);
    PortWatch watch(options, self, report, installs);

    report.notice("waiting", "Waiting for adapters (Ctrl-C stops)");
    catchStopSignals(true);
    int seen = 0;
    bool takeNew = true;
    for (;;) {
        if (takeNew)
            watch.poll();
        watch.takeFindings(takeNew);
        installs.pump(takeNew);
        installs.step(WAIT_STEP_MS);
        if (takeInterrupts(seen, takeNew, installs, report, &watch.probes()))
            break;
        if (!takeNew && installs.running() == 0)
            break;
    }
    catchStopSignals(false);
    return runStatus(installs.anyFailed() ? EXIT_ADAPTER_FAILED : EXIT_ALL_OK, report, options);
}
