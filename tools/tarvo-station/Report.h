// What the station shows: progress lines, the final table, JSON lines and
// the shop's log.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Json.h"
#include "Station.h"

// One adapter's install, as the report follows it.
struct InstallJob {
    std::string port;
    std::string serial;
    std::string before;     // firmware version before
    std::string after;      // firmware version after, when installed
    std::string step = "waiting";
    int percent = -1;
    std::string result;     // empty while running: ok, failed, refused, dry-run, stopped
    std::string detail;
    std::string restore;    // ok or failed, when a restore was tried
    std::string backup;     // the backup folder, when one was made
    double seconds = 0;
    bool erased = false;    // the install began writing: the firmware is not whole meanwhile
};

class Report {
public:
    explicit Report(const StationOptions& options);

    bool json() const { return _json; }
    // One JSON object on its own line.
    void jsonLine(const JsonLine& line);
    // A line of text, above the progress lines on a terminal.
    void line(const std::string& text);
    // What the station itself is doing: a line of text, or with --json an
    // object of the event with the text as its message.
    void notice(const std::string& event, const std::string& text);

    // The progress lines of the jobs: redrawn in place on a terminal, a
    // plain line per step otherwise. changed is the job that moved.
    void progress(const std::vector<InstallJob>& jobs, size_t changed);
    // The result of one job, as a line (watch) and in the log unless its
    // worker logged it.
    void result(const InstallJob& job, bool logged = false);
    // The closing table.
    void table(const std::vector<InstallJob>& jobs);
    // The log line of a job; appended to --log.
    void log(const InstallJob& job);
    // A log line not written (by this process or a worker): the run fails.
    void logFailed(const std::string& error);
    bool logOk() const { return _logError.empty(); }

private:
    void clearProgress();
    void say(const std::string& text);

    bool _json;
    bool _terminal;
    std::string _logFile;
    std::string _logError;
    bool _listening = true;  // standard output still takes what is written
    size_t _drawn = 0;   // progress lines on the screen
    // Plain lines: the last one of each job, so a step's two reads that both
    // reach 100% show once.
    std::map<std::string, std::string> _lastPlain;
};

// A job's line in the shop's log: one line, adapter bytes escaped.
std::string logLine(const InstallJob& job);
// Appends one line to the log through the file-writing unit.
bool appendLogLine(const std::string& path, const std::string& text, std::string& error);

// Text with control characters turned to spaces and trimmed, for one line.
std::string oneLine(const std::string& text);
