// Worker mode: one adapter's work in a process of its own, so the core's
// program-wide state belongs to that adapter alone.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "AdapterSelect.h"
#include "Backup.h"
#include "Device.h"
#include "FirmwareCheck.h"
#include "FirmwareInstall.h"
#include "FirmwarePackage.h"
#include "HexDigit.h"
#include "Json.h"
#include "Pause.h"
#include "Report.h"
#include "PortFactory.h"
#include "SambaXcon.h"
#include "Station.h"
#include "TarvoXcon.h"

#if defined(_WIN32)
#include "WinPortFactory.h"
#else
#include "PosixPortFactory.h"
#endif

namespace {

// After the install restarts the adapter its monitor comes back on its own;
// how long the restore waits for it.
constexpr int RECONNECT_TRIES = 5;
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

// Counts the block writes of an install (the only writes of 64 bytes or
// more) and reports the share done as the step's percentage.
class ProgressPort : public SerialPort {
public:
    ProgressPort(SerialPort::Ptr inner, uint64_t& blocks)
        : SerialPort(inner->name()), _inner(std::move(inner)), _blocks(blocks)
    {
    }
    void expect(const std::string& step, uint64_t total)
    {
        _step = step;
        _total = total;
        _blocks = 0;
        _shown = -1;
    }
    bool open(int baud, int data, Parity parity, StopBit stop) override
    {
        return _inner->open(baud, data, parity, stop);
    }
    void close() override { _inner->close(); }
    bool isUsb() override { return _inner->isUsb(); }
    int read(uint8_t* data, int size) override { return _inner->read(data, size); }
    int write(const uint8_t* data, int size) override
    {
        int n = _inner->write(data, size);
        if (size >= static_cast<int>(device::BLOCK_SIZE) && _total > 0) {
            _blocks++;
            int percent = static_cast<int>(_blocks * 100 / _total);
            if (percent > 100)
                percent = 100;
            // Every 5 percent is enough for a progress line.
            if (percent / 5 != _shown / 5) {
                _shown = percent;
                emitStep(_step, percent);
            }
        }
        return n;
    }
    int get() override { return _inner->get(); }
    int put(int c) override { return _inner->put(c); }
    bool timeout(int millisecs) override { return _inner->timeout(millisecs); }
    bool flush() override { return _inner->flush(); }

private:
    SerialPort::Ptr _inner;
    uint64_t& _blocks;
    std::string _step;
    uint64_t _total = 0;
    int _shown = -1;
};

// Hands every port it makes to a ProgressPort the worker can steer.
class ProgressFactory : public PortFactoryBase {
public:
    explicit ProgressFactory(PortFactoryBase& inner) : _inner(inner) {}
    std::string begin() override { return _inner.begin(); }
    std::string end() override { return _inner.end(); }
    std::string next() override { return _inner.next(); }
    SerialPort::Ptr create(const std::string& name) override { return wrap(_inner.create(name)); }
    SerialPort::Ptr create(const std::string& name, bool isUsb) override
    {
        return wrap(_inner.create(name, isUsb));
    }
    bool accessDenied(const std::string& name) override { return _inner.accessDenied(name); }
    ProgressPort* current() const { return _current; }

private:
    SerialPort::Ptr wrap(SerialPort::Ptr port)
    {
        if (!port)
            return port;
        _current = new ProgressPort(std::move(port), _blocks);
        return SerialPort::Ptr(_current);
    }
    PortFactoryBase& _inner;
    ProgressPort* _current = nullptr;
    uint64_t _blocks = 0;
};

// The backup procedures' messages go with the core's other output; a long
// step's progress goes to the parent as the current step's percentage.
class WorkerReport : public backup::Report {
public:
    explicit WorkerReport(const std::string& step) : _step(step) {}
    void text(const std::string& lines) override { fputs(lines.c_str(), stdout); }
    void stepStarted(const std::string&, uint64_t) override { _shown = -1; }
    void stepProgress(uint64_t done, uint64_t total) override
    {
        int percent = total ? static_cast<int>(done * 100 / total) : 100;
        if (percent / 10 != _shown / 10) {
            _shown = percent;
            emitStep(_step, percent);
        }
    }
    void stepFinished() override {}

private:
    std::string _step;
    int _shown = -1;
};

// A take that failed, without tarvo -f's line end.
std::string takeText(PackageTake take, const std::string& file)
{
    std::string text = packageTakeText(take, file.c_str());
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// After a failed install: connects again (the adapter restarts into its
// monitor) and puts the backup back, once.
std::string restoreBackup(const WorkerRequest& request, ProgressFactory& factory,
                          const std::string& dir)
{
    emitStep("restore");
    for (int attempt = 0; attempt < RECONNECT_TRIES; attempt++) {
        pause_ms(RECONNECT_PAUSE_MS);
        Samba samba;
        samba.setDebug(request.trace);
        uint32_t chipId = 0;
        if (probePort(samba, factory, request.port, request.named, chipId) != ProbeResult::Adapter)
            continue;
        // Its firmware write shows its share as the install's does.
        std::error_code ec;
        const uintmax_t size =
            std::filesystem::file_size(backup::pathIn(dir, backup::FIRMWARE_FILE), ec);
        if (ProgressPort* port = factory.current(); port && !ec && size > package::HEADER_SIZE)
            port->expect("restore", (size - package::HEADER_SIZE) / device::BLOCK_SIZE);
        WorkerReport report("restore");
        bool restarted = false;
        backup::Options options;
        // Tried once: a restore that fails part way is not started again.
        try {
            return backup::restore(samba, chipId, dir, options, report, restarted) ==
                           backup::Outcome::Done
                       ? "ok"
                       : "failed";
        } catch (const std::exception& e) {
            printf("%s\n", e.what());
            return "failed";
        }
    }
    return "failed";
}

int probe(const WorkerRequest& request, PortFactoryBase& factory)
{
    Samba samba;
    samba.setDebug(request.trace);
    uint32_t chipId = 0;
    ProbeResult result = probePort(samba, factory, request.port, request.named, chipId);
    if (result != ProbeResult::Adapter) {
        JsonLine line;
        line.set("event", "port").set("port", request.port).set("status", probeResultText(result));
        emit(line);
        return 0;
    }
    emitAdapter(readAdapterInfo(samba, chipId, request.port));
    return 0;
}

int install(const WorkerRequest& request, PortFactoryBase& platform)
{
    ProgressFactory factory(platform);
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
    if (!request.serial.empty() && info.serial != request.serial) {
        emitResult("failed", "serial number is " + info.serial + ", not " + request.serial);
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
    const std::string backupDir =
        request.backupDir + "/" + info.serial + "-" + backup::utcTime("%Y%m%d-%H%M%S");
    if (request.dryRun) {
        emitResult("dry-run", "would back up into " + backupDir + ", then install firmware " +
                                  version + " over " + hex(info.fwVersion & 0xFFFF, 4),
                   version);
        return 0;
    }

    // Nothing is erased unless the adapter as it was is kept first.
    emitStep("backup");
    {
        // Every worker of the run puts its folder in the same one; when they
        // make it at once, the one that loses finds it there. One that cannot
        // be made is said by the backup, which tries again.
        std::error_code ec;
        std::filesystem::create_directories(request.backupDir, ec);
        WorkerReport report("backup");
        backup::Options options;
        if (backup::save(samba, chipId, backupDir, options, report) != backup::Outcome::Done) {
            emitResult("failed", "backup failed; nothing was erased");
            return 1;
        }
    }

    emitStep("install", -1, backupDir);
    if (ProgressPort* port = factory.current())
        port->expect("install", (taken.bytes.size() - package::HEADER_SIZE) / device::BLOCK_SIZE);
    std::string failure;
    try {
        fflush(stdout);
        if (installPackage(samba, taken) == Install::Verified) {
            emitResult("ok", "installed and verified", version, backupDir);
            return 0;
        }
        failure = "verification failed";
    } catch (const std::exception& e) {
        failure = e.what();
    }
    samba.disconnect();
    const std::string restored = restoreBackup(request, factory, backupDir);
    emitResult("failed",
               failure + (restored == "ok" ? "; the backup was restored"
                                           : "; restoring the backup failed: the firmware may be "
                                             "incomplete, restore " + backupDir),
               "", backupDir, restored);
    return 1;
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
        status = request.kind == "probe" ? probe(request, factory) : install(request, factory);
    } catch (const std::exception& e) {
        emitResult("failed", e.what());
    }
    fflush(stdout);
    return status;
}
