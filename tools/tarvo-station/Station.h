// tarvo-station: many adapters at once. The parent lists ports, chooses,
// starts one worker process per adapter (this program again, in worker
// mode), watches them and reports; each worker does one adapter's work
// through the core and tells the parent what happens as JSON lines.
#pragma once

#include <string>
#include <vector>

// Exit statuses.
constexpr int EXIT_ALL_OK = 0;
constexpr int EXIT_ADAPTER_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SERIAL_NOT_FOUND = 3;
constexpr int EXIT_CHECK_UNKNOWN = 3;  // list --check: an adapter could not be told

// A worker's protocol lines start with this byte on a line of their own;
// every other line is the core's own output (its messages and trace).
constexpr char PROTOCOL_MARK = '\x1e';

struct StationOptions {
    std::string command;          // list, install or watch
    std::string package;          // list --check: may be empty
    bool check = false;           // list: check every adapter, reading only
    std::string ports;            // --ports patterns; empty: the machine's list
    std::vector<std::string> serials;
    bool all = false;
    bool dryRun = false;
    bool json = false;
    std::string logFile;
    std::string traceDir;
    std::string backupDir = "tarvo-backups";
    int jobs = 0;                 // 0: all at once
};

// What one worker is asked to do.
struct WorkerRequest {
    std::string kind;             // probe, check or install
    std::string port;
    std::string package;
    std::string serial;           // install: the adapter must have this one
    std::string backupDir;        // install: the folder the backup goes under
    std::string logFile;          // install: the worker appends its own result line
    bool named = false;           // the user named the port (--ports), as with -p
    bool dryRun = false;
    bool trace = false;
};

// The worker's arguments after the program's path, and back.
std::vector<std::string> workerArguments(const WorkerRequest& request);
// Bytes as upper-case hex digits, and back (false on anything else).
std::string hexEncode(const std::string& bytes);
bool hexDecode(const std::string& text, std::string& bytes);
int workerMain(const WorkerRequest& request);
// In a worker: the parent asked it to stop (SIGTERM). Once an install has
// begun its erase, a worker whose install asks this between blocks is
// stopped there, not killed; before, or when nothing asks, SIGTERM ends it.
bool workerStopRequested();

int listCommand(const StationOptions& options, const std::string& self);
int installCommand(const StationOptions& options, const std::string& self);
int watchCommand(const StationOptions& options, const std::string& self);
