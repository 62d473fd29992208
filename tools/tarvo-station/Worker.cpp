// Worker mode: one adapter's work in a process of its own, so the core's
// program-wide state belongs to that adapter alone.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>

#include "fleet/AdapterSelect.h"
#include "backup/Backup.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "backup/GuardedInstall.h"
#include "HexDigit.h"
#include "Json.h"
#include "Pause.h"
#include "Report.h"
#include "PlatformPortFactory.h"
#include "SambaXcon.h"
#include "Station.h"
#include "TarvoXcon.h"
#include "backup/AdapterCheck.h"

namespace {

// After a connection failed part way, how long the restore waits for the
// adapter's monitor to answer again, and how often it looks.
constexpr int RECONNECT_WAIT_MS = 20000;
constexpr int RECONNECT_PAUSE_MS = 300;

// What the worker's own result line in the log is made of.
struct WorkerRecord {
    std::string logFile;
    std::string port;
    std::string serial;
    std::string before;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};
WorkerRecord g_record;

// Nobody reads the worker's output any more (the parent died, or its reader
// went): the work goes on unheard.
bool g_listening = true;

// SIGTERM: 1 asked to stop; whether an install has begun its erase, and
// whether anything asks between blocks.
volatile std::sig_atomic_t g_stopAsked = 0;
volatile std::sig_atomic_t g_erasing = 0;
volatile std::sig_atomic_t g_stopPolled = 0;

extern "C" void onStopRequest(int sig)
{
    g_stopAsked = 1;
    // Before the erase the adapter is untouched, and an install that never
    // asks cannot stop between blocks: both end as SIGTERM ends a program.
    if (!g_erasing || !g_stopPolled) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    std::signal(sig, onStopRequest);
}

// Protocol lines share standard output with the core's messages, flushed in
// between so neither splits the other.
void emit(const JsonLine& line)
{
    if (!g_listening)
        return;
    fflush(stdout);
    printf("\n%c%s\n", PROTOCOL_MARK, line.text().c_str());
    if (fflush(stdout) != 0 || ferror(stdout)) {
        g_listening = false;
        clearerr(stdout);
    }
}

std::string hex(uint32_t value, int digits)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

void emitAdapter(const AdapterInfo& info)
{
    g_record.serial = info.serial;
    g_record.before = hex(info.fwVersion & 0xFFFF, 4);
    JsonLine line;
    line.set("event", "adapter")
        .set("port", info.port)
        .set("serial", info.serial)
        .set("board", hex(info.board, 4))
        .set("type", std::string(1, static_cast<char>(info.type)))
        .set("chip", hex(info.chipId, 8))
        .set("flash", static_cast<int64_t>(info.flashSize))
        .set("firmware", g_record.before)
        .set("rom", hex((info.fwVersion >> 16) & 0xFF, 2))
        .set("fw_word", hex(info.fwVersion, 8))
        .set("fw_extra", hex(info.fwExtra, 8))
        .set("bootloader", info.bootloader);
    emit(line);
}

void emitStep(const std::string& step, int percent = -1, const std::string& backup = "")
{
    // From here the firmware is not whole until the install or the restore ends.
    if (step == "install" || step == "restore")
        g_erasing = 1;
    JsonLine line;
    line.set("event", "step").set("step", step);
    if (percent >= 0)
        line.set("percent", static_cast<int64_t>(percent));
    if (!backup.empty())
        line.set("backup", backup);
    emit(line);
}

// The result, to the parent and, by the worker itself, to the log: a run
// whose parent is gone still leaves its line. The parent learns whether the
// line was written ("log": ok, or the reason).
void emitResult(const std::string& result, const std::string& detail,
                const std::string& fwAfter = "", const std::string& backup = "",
                const std::string& restore = "")
{
    JsonLine line;
    line.set("event", "result").set("result", result).set("detail", detail);
    if (!fwAfter.empty())
        line.set("firmware_after", fwAfter);
    if (!backup.empty())
        line.set("backup", backup);
    if (!restore.empty())
        line.set("restore", restore);
    if (!g_record.logFile.empty()) {
        InstallJob job;
        job.port = g_record.port;
        job.serial = g_record.serial;
        job.before = g_record.before;
        job.after = fwAfter;
        job.result = result;
        job.restore = restore;
        job.detail = detail;
        job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                    g_record.started)
                          .count();
        std::string error;
        line.set("log", appendLogLine(g_record.logFile, logLine(job), error) ? "ok" : error);
        // Once: a later result of the same worker (none is expected) is the parent's to log.
        g_record.logFile.clear();
    }
    emit(line);
}

// A take that failed, without tarvo -f's line end.
std::string takeText(PackageTake take, const std::string& file)
{
    std::string text = packageTakeText(take, file.c_str());
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

const char* stepName(guarded::Step step)
{
    switch (step) {
    case guarded::Step::Backup:
        return "backup";
    case guarded::Step::Install:
        return "install";
    case guarded::Step::Restore:
        return "restore";
    }
    return "";
}

// After the connection failed part way: the adapter's port may go and come
// back while it restarts into its monitor, so it is opened afresh each try.
bool reconnect(const WorkerRequest& request, PortFactoryBase& factory, Samba& samba,
               uint32_t& chipId)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(RECONNECT_WAIT_MS);
    do {
        pause_ms(RECONNECT_PAUSE_MS);
        if (probePort(samba, factory, request.port, request.named, chipId) == ProbeResult::Adapter)
            return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// A failed install's reason as the worker's last message too, so nothing an
// earlier step printed ("Done") is taken for it.
void emitFailure(const std::string& result, const std::string& detail,
                 const std::string& backup = "", const std::string& restore = "")
{
    printf("%s\n", detail.c_str());
    emitResult(result, detail, "", backup, restore);
}

// What answers on the port, told to the parent; true for an adapter, its
// information in info.
bool probeAndTell(const WorkerRequest& request, PortFactoryBase& factory, Samba& samba,
                  uint32_t& chipId, AdapterInfo& info)
{
    samba.setDebug(request.trace);
    ProbeResult result = probePort(samba, factory, request.port, request.named, chipId);
    if (result != ProbeResult::Adapter) {
        JsonLine line;
        line.set("event", "port").set("port", request.port).set("status", probeResultText(result));
        emit(line);
        return false;
    }
    info = readAdapterInfo(samba, chipId, request.port);
    emitAdapter(info);
    return true;
}

int probe(const WorkerRequest& request, PortFactoryBase& factory)
{
    Samba samba;
    uint32_t chipId = 0;
    AdapterInfo info;
    probeAndTell(request, factory, samba, chipId, info);
    return 0;
}

int install(const WorkerRequest& request, PortFactoryBase& factory)
{
    Samba samba;
    samba.setDebug(request.trace);
    uint32_t chipId = 0;
    emitStep("connect");
    ProbeResult result = probePort(samba, factory, request.port, request.named, chipId);
    if (result != ProbeResult::Adapter) {
        emitResult("failed", probeResultText(result));
        return 1;
    }
    const AdapterInfo info = readAdapterInfo(samba, chipId, request.port);
    emitAdapter(info);
    // The adapter the parent chose, not another plugged into its port since.
    if (info.serial != request.serial) {
        emitFailure("failed", "serial number is " + guarded::serialPart(info.serial) + ", not " +
                                  guarded::serialPart(request.serial) + "; nothing was erased");
        return 1;
    }

    // The package is taken into memory and checked once, here, before the
    // backup: what is installed is what was checked, whatever the file does.
    emitStep("check");
    TakenPackage taken;
    const PackageTake take = takePackage(samba, chipId, request.package.c_str(), false, taken);
    if (take != PackageTake::Taken) {
        emitResult("refused", takeText(take, request.package));
        return 1;
    }
    // The take's check of the copy in memory left its version in the record.
    const std::string version = hex(g_sw_ver, 4);
    const std::string stamp = backup::utcTime("%Y%m%d-%H%M%S");
    if (request.dryRun) {
        emitResult("dry-run",
                   "would back up into " +
                       guarded::freeBackupFolder(request.backupDir, info.serial, stamp) +
                       ", then install firmware " + version + " over " +
                       hex(info.fwVersion & 0xFFFF, 4),
                   version);
        return 0;
    }

    emitStep("backup");
    std::string backupDir, error;
    if (!guarded::makeBackupFolder(request.backupDir, info.serial, stamp, backupDir, error)) {
        emitFailure("failed", "backup failed; nothing was erased: " + error);
        return 1;
    }

    guarded::Callbacks callbacks;
    guarded::Step current = guarded::Step::Backup;
    int shown = -1;
    callbacks.started = [&](guarded::Step step) {
        current = step;
        shown = -1;
        if (step == guarded::Step::Install) {
            fflush(stdout);
            emitStep("install", -1, backupDir);
        } else if (step == guarded::Step::Restore) {
            emitStep("restore");
        }
    };
    callbacks.progress = [&](guarded::Step step, uint64_t done, uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : 100;
        // The backup's reads each run to 100% afresh.
        if (step != current || percent < shown)
            shown = -1;
        current = step;
        // Every 5 percent of a write is enough for a progress line, every 10 of a read.
        const int every = step == guarded::Step::Backup ? 10 : 5;
        if (shown < 0 || percent / every != shown / every) {
            shown = percent;
            emitStep(stepName(step), percent);
        }
    };
    callbacks.text = [](const std::string& lines) { fputs(lines.c_str(), stdout); };
    // The parent's second stop: between blocks, the state then said.
    callbacks.stop = workerStopRequested;
    callbacks.reconnect = [&](Samba& again, uint32_t& id) {
        return reconnect(request, factory, again, id);
    };
    const guarded::Result done =
        guarded::install(samba, chipId, taken, backupDir, request.package, callbacks);
    switch (done.outcome) {
    case guarded::Outcome::Installed:
        emitResult("ok", done.detail, version, backupDir);
        return 0;
    case guarded::Outcome::BackupFailed:
        emitFailure("failed", done.detail);
        return 1;
    case guarded::Outcome::Stopped:
        emitFailure("stopped", done.detail, backupDir);
        return 1;
    default:
        emitFailure("failed", done.detail, backupDir, done.restore);
        return 1;
    }
}

// The check's words go out as the core's own output, for the trace; its
// formula line is kept for the parent. Its reads' progress is not shown.
class CheckOutput : public backup::Report {
public:
    void text(const std::string& lines) override
    {
        fputs(lines.c_str(), stdout);
        static const std::string FORMULA = "Checksum formula: ";
        for (size_t at = 0; (at = lines.find(FORMULA, at)) != std::string::npos; at++) {
            if (at > 0 && lines[at - 1] != '\n')
                continue;
            const size_t end = lines.find('\n', at);
            formula = lines.substr(at + FORMULA.size(),
                                   end == std::string::npos ? std::string::npos
                                                            : end - at - FORMULA.size());
        }
    }
    void stepStarted(const std::string&, uint64_t) override {}
    void stepProgress(uint64_t, uint64_t) override {}
    void stepFinished() override {}
    std::string formula;  // empty until the adapter's checksums were compared
};

const char* findingName(backup::Finding finding)
{
    switch (finding) {
    case backup::Finding::Restores: return "restores";
    case backup::Finding::Changes: return "changes";
    case backup::Finding::OtherPackage: return "other-package";
    case backup::Finding::Unknown: break;
    }
    return "unknown";
}

// Reads only: whether this adapter's backups can come back.
int check(const WorkerRequest& request, PortFactoryBase& factory)
{
    Samba samba;
    uint32_t chipId = 0;
    AdapterInfo info;
    if (!probeAndTell(request, factory, samba, chipId, info))
        return 0;
    CheckOutput output;
    const backup::CheckResult checked =
        backup::checkAdapter(samba, chipId, request.package, false, output);
    fflush(stdout);
    std::string answer = checked.answer;
    while (!answer.empty() && answer.back() == '\n')
        answer.pop_back();
    JsonLine line;
    line.set("event", "check")
        .set("port", request.port)
        .set("serial", info.serial)
        .set("answer", findingName(checked.finding))
        .setOrNull("formula", output.formula)
        .set("status", static_cast<int64_t>(backup::checkExitStatus(checked.finding)))
        .set("detail", answer);
    emit(line);
    return 0;
}

}  // namespace

std::vector<std::string> workerArguments(const WorkerRequest& request)
{
    std::vector<std::string> args = {"--worker=" + request.kind, "--port=" + request.port};
    if (!request.package.empty())
        args.push_back("--package=" + request.package);
    // Adapter bytes as hex: an argument carries any byte only on some systems.
    if (!request.serial.empty())
        args.push_back("--serial-hex=" + hexEncode(request.serial));
    if (!request.backupDir.empty())
        args.push_back("--backup-dir=" + request.backupDir);
    if (!request.logFile.empty())
        args.push_back("--log=" + request.logFile);
    if (request.dryRun)
        args.push_back("--dry-run");
    if (request.named)
        args.push_back("--named");
    if (request.trace)
        args.push_back("--trace=1");
    return args;
}

std::string hexEncode(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

bool hexDecode(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigitValue(text[i]), lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool workerStopRequested()
{
    g_stopPolled = 1;
    return g_stopAsked != 0;
}

int workerMain(const WorkerRequest& request)
{
    // The install goes on whatever happens to the parent or its terminal:
    // the terminal's hang-up and Ctrl-C are not for the worker, a reader that
    // is gone is a write error, and the parent's stop comes as SIGTERM.
#if defined(SIGHUP)
    std::signal(SIGHUP, SIG_IGN);
#endif
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, onStopRequest);
    g_record.port = request.port;
    g_record.serial = request.serial;
    if (request.kind == "install")
        g_record.logFile = request.logFile;
    int status = 1;
    try {
        PortFactory factory;
        status = request.kind == "probe"   ? probe(request, factory)
                 : request.kind == "check" ? check(request, factory)
                                           : install(request, factory);
    } catch (const std::exception& e) {
        emitResult("failed", e.what());
    }
    fflush(stdout);
    return status;
}
