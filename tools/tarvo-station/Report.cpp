#include "Report.h"

#include <cstdio>
#include <ctime>

#include "Backup.h"
#include "FileReplace.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool stdoutIsTerminal()
{
#if defined(_WIN32)
    // The console may not take the cursor movements; plain lines there.
    return false;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

std::string progressText(const InstallJob& job)
{
    char text[256];
    std::string state = job.result.empty() ? job.step : job.result;
    if (job.result.empty() && job.percent >= 0)
        state += " " + std::to_string(job.percent) + "%";
    snprintf(text, sizeof(text), "%-10s %-24s %s", job.serial.c_str(), job.port.c_str(),
             state.c_str());
    return text;
}

std::string outcome(const InstallJob& job)
{
    std::string text = job.result;
    if (!job.restore.empty())
        text += ", restore " + job.restore;
    return text;
}

}  // namespace

std::string oneLine(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    size_t start = out.find_first_not_of(' ');
    size_t end = out.find_last_not_of(' ');
    return start == std::string::npos ? std::string() : out.substr(start, end - start + 1);
}

Report::Report(const StationOptions& options)
    : _json(options.json), _terminal(!options.json && stdoutIsTerminal()), _logFile(options.logFile)
{
}

void Report::jsonLine(const JsonLine& line)
{
    printf("%s\n", line.text().c_str());
    fflush(stdout);
}

void Report::clearProgress()
{
    if (!_terminal || _drawn == 0)
        return;
    // Up to the first progress line, and everything below it away.
    printf("\033[%zuA\r\033[J", _drawn);
    _drawn = 0;
}

void Report::line(const std::string& text)
{
    clearProgress();
    printf("%s\n", text.c_str());
    fflush(stdout);
}

void Report::notice(const std::string& event, const std::string& text)
{
    if (!_json)
        return line(text);
    JsonLine object;
    object.set("event", event).set("message", text);
    jsonLine(object);
}

void Report::progress(const std::vector<InstallJob>& jobs, size_t changed)
{
    if (_json) {
        const InstallJob& job = jobs[changed];
        // The result line says it.
        if (!job.result.empty())
            return;
        JsonLine line;
        line.set("event", "step").set("port", job.port).set("serial", job.serial).set("step", job.step);
        if (job.percent >= 0)
            line.set("percent", static_cast<int64_t>(job.percent));
        jsonLine(line);
        return;
    }
    if (!_terminal) {
        // Plain lines: each step once, and the install every quarter.
        const InstallJob& job = jobs[changed];
        if (job.percent >= 0 && job.percent % 25 != 0)
            return;
        const std::string text = progressText(job);
        std::string& last = _lastPlain[job.serial + " " + job.port];
        if (text != last)
            printf("%s\n", text.c_str());
        last = text;
        fflush(stdout);
        return;
    }
    clearProgress();
    for (const InstallJob& job : jobs)
        printf("%s\n", progressText(job).c_str());
    _drawn = jobs.size();
    fflush(stdout);
}

void Report::result(const InstallJob& job)
{
    if (_json) {
        JsonLine line;
        line.set("event", "result")
            .set("port", job.port)
            .set("serial", job.serial)
            .set("firmware_before", job.before)
            .set("firmware_after", job.after)
            .set("result", job.result)
            .set("restore", job.restore)
            .set("backup", job.backup)
            .set("seconds", job.seconds)
            .set("detail", job.detail);
        jsonLine(line);
    }
    log(job);
}

void Report::table(const std::vector<InstallJob>& jobs)
{
    if (_json)
        return;
    clearProgress();
    printf("\n%-10s %-24s %-8s %-8s %-22s %8s\n", "SERIAL", "PORT", "BEFORE", "AFTER", "RESULT",
           "SECONDS");
    for (const InstallJob& job : jobs)
        printf("%-10s %-24s %-8s %-8s %-22s %8.1f\n", job.serial.c_str(), job.port.c_str(),
               job.before.empty() ? "-" : job.before.c_str(),
               job.after.empty() ? "-" : job.after.c_str(), outcome(job).c_str(), job.seconds);
    for (const InstallJob& job : jobs)
        if (!job.detail.empty() && job.result != "ok")
            printf("%s: %s\n", job.serial.c_str(), job.detail.c_str());
    fflush(stdout);
}

void Report::log(const InstallJob& job)
{
    if (_logFile.empty())
        return;
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.1f s", job.seconds);
    const std::string text = backup::utcTime("%Y-%m-%d %H:%M:%S UTC") + "  " + job.serial + "  " + job.port + "  " +
                             (job.before.empty() ? "-" : job.before) + " -> " +
                             (job.after.empty() ? "-" : job.after) + "  " + outcome(job) + "  " +
                             seconds + (job.detail.empty() ? "" : "  " + job.detail) + "\n";
    uint64_t offset = 0;
    std::string error;
    bool ok = appendToFile(
        _logFile,
        [&](FileSink& sink, std::string&) {
            return sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        },
        offset, error);
    if (!ok)
        fprintf(stderr, "tarvo-station: log not written: %s\n", error.c_str());
}
