#include "Report.h"

#include <cstdio>
#include <ctime>

#include "backup/Backup.h"
#include "files/FileReplace.h"
#include "Terminal.h"
#include "TextEscape.h"

namespace {

std::string progressText(const InstallJob& job)
{
    char text[256];
    std::string state = job.result.empty() ? job.step : job.result;
    if (job.result.empty() && job.percent >= 0)
        state += " " + std::to_string(job.percent) + "%";
    snprintf(text, sizeof(text), "%-10s %-24s %s", escapeBytes(job.serial).c_str(),
             escapeControls(job.port).c_str(), state.c_str());
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
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    size_t start = out.find_first_not_of(' ');
    size_t end = out.find_last_not_of(' ');
    return start == std::string::npos ? std::string() : out.substr(start, end - start + 1);
}

Report::Report(const StationOptions& options)
    : _json(options.json), _terminal(!options.json && stdoutTakesCursorMoves()), _logFile(options.logFile)
{
}

void Report::say(const std::string& text)
{
    // A reader that went away (--json | head) is nobody listening: the run
    // goes on, its log still written.
    if (!_listening)
        return;
    fputs(text.c_str(), stdout);
    if (fflush(stdout) != 0 || ferror(stdout))
        _listening = false;
}

void Report::jsonLine(const JsonLine& line)
{
    say(line.text() + "\n");
}

void Report::clearProgress()
{
    if (!_terminal || _drawn == 0)
        return;
    // Up to the first progress line, and everything below it away.
    say("\033[" + std::to_string(_drawn) + "A\r\033[J");
    _drawn = 0;
}

void Report::line(const std::string& text)
{
    clearProgress();
    say(text + "\n");
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
        else
            line.setOrNull("percent", "");
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
            say(text + "\n");
        last = text;
        return;
    }
    clearProgress();
    std::string lines;
    for (const InstallJob& job : jobs)
        lines += progressText(job) + "\n";
    say(lines);
    _drawn = jobs.size();
}

void Report::result(const InstallJob& job, bool logged)
{
    if (_json) {
        JsonLine line;
        line.set("event", "result")
            .set("port", job.port)
            .set("serial", job.serial)
            .setOrNull("firmware_before", job.before)
            .setOrNull("firmware_after", job.after)
            .set("result", job.result)
            .setOrNull("restore", job.restore)
            .setOrNull("backup", job.backup)
            .set("seconds", job.seconds)
            .set("detail", job.detail);
        jsonLine(line);
    }
    if (!logged)
        log(job);
}

void Report::table(const std::vector<InstallJob>& jobs)
{
    if (_json)
        return;
    clearProgress();
    char row[512];
    snprintf(row, sizeof(row), "\n%-10s %-24s %-8s %-8s %-22s %8s\n", "SERIAL", "PORT", "BEFORE",
             "AFTER", "RESULT", "SECONDS");
    std::string text = row;
    for (const InstallJob& job : jobs) {
        snprintf(row, sizeof(row), "%-10s %-24s %-8s %-8s %-22s %8.1f\n",
                 escapeBytes(job.serial).c_str(), escapeControls(job.port).c_str(),
                 job.before.empty() ? "-" : escapeBytes(job.before).c_str(),
                 job.after.empty() ? "-" : escapeBytes(job.after).c_str(),
                 escapeBytes(outcome(job)).c_str(), job.seconds);
        text += row;
    }
    for (const InstallJob& job : jobs)
        if (!job.detail.empty() && job.result != "ok")
            text += escapeBytes(job.serial) + ": " + escapeControls(job.detail) + "\n";
    say(text);
}

std::string logLine(const InstallJob& job)
{
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.1f s", job.seconds);
    return backup::utcTime("%Y-%m-%d %H:%M:%S UTC") + "  " + escapeBytes(job.serial) + "  " +
           escapeControls(job.port) + "  " + (job.before.empty() ? "-" : escapeBytes(job.before)) +
           " -> " + (job.after.empty() ? "-" : escapeBytes(job.after)) + "  " +
           escapeBytes(outcome(job)) + "  " + seconds +
           (job.detail.empty() ? "" : "  " + escapeControls(job.detail)) + "\n";
}

bool appendLogLine(const std::string& path, const std::string& text, std::string& error)
{
    uint64_t offset = 0;
    return appendToFile(
        path,
        [&](FileSink& sink, std::string&) {
            return sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        },
        offset, error);
}

void Report::log(const InstallJob& job)
{
    if (_logFile.empty())
        return;
    std::string error;
    if (!appendLogLine(_logFile, logLine(job), error))
        logFailed(error);
}

void Report::logFailed(const std::string& error)
{
    _logError = error;
    fprintf(stderr, "tarvo-station: log not written: %s\n", error.c_str());
}
