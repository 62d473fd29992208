// What the page calls: one program run at a time over the chosen port, with
// the program-wide state a command-line run would start from.
#include <emscripten.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PackTool.h"
#include "Pause.h"
#include "TarvoXcon.h"
#include "WebBackup.h"
#include "WebPortFactory.h"


namespace {

// Pauses give the browser its turn: the port's bytes arrive meanwhile.
void browserPause(unsigned milliseconds)
{
    emscripten_sleep(milliseconds);
}

void startRun()
{
    static bool once = false;
    if (!once) {
        once = true;
        // The file system would otherwise make files nobody may read.
        umask(022);
        // Lines reach the page's log as they are completed, progress dots
        // as the tool flushes them.
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
        set_pause_hook(browserPause);
    }
    // 0 makes the next getopt call start over, as in a fresh process.
    optind = 0;
}

// Whether the last backup command's install restarted the adapter.
bool g_restarted = false;
// Whether the last install found a monitor that changes what it receives,
// and whether its connection failed part way.
bool g_monitorChanges = false;
bool g_lost = false;

}  // namespace

extern "C" {

// Runs program ("tarvo", or "tarvo-pack info") with the arguments, one per line,
// the chosen port called portName; returns the exit status.
EMSCRIPTEN_KEEPALIVE int tarvo_web_run(const char* program, const char* args, const char* portName)
{
    startRun();
    std::vector<std::string> words{program};
    std::string rest = args;
    for (size_t start = 0; start < rest.size();) {
        size_t nl = rest.find('\n', start);
        if (nl == std::string::npos)
            nl = rest.size();
        words.push_back(rest.substr(start, nl - start));
        start = nl + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    int status;
    if (strcmp(program, "tarvo-pack info") == 0) {
        // Only the listing: the page makes no packages.
        status = packInfo(std::vector<std::string>(words.begin() + 1, words.end()));
    } else {
        WebPortFactory factory(portName);
        status = tarvo_main(argc, argv.data(), factory);
    }
    fflush(stdout);
    fflush(stderr);
    return status;
}

// Runs tarvo-backup's command ("save", "verify" or "restore") on target (a
// folder, or for verify a package file) over the chosen port; returns a
// WebBackupStatus.
// "install" installs package, backed up into the empty folder target first
// and restored from it when it fails; returns a WebInstallStatus.
EMSCRIPTEN_KEEPALIVE int tarvo_web_backup(const char* command, const char* target,
                                          const char* portName, const char* package)
{
    startRun();
    g_restarted = false;
    g_monitorChanges = false;
    g_lost = false;
    int status = runReportingFailures([&] {
        if (strcmp(command, "install") == 0)
            return webInstall(target, portName, package, g_monitorChanges, g_lost);
        return webBackup(command, target, portName, g_restarted);
    });
    fflush(stdout);
    fflush(stderr);
    return status;
}

// Whether the last restore's install restarted the adapter, after which it
// needs a new connection.
EMSCRIPTEN_KEEPALIVE int tarvo_web_restarted()
{
    return g_restarted ? 1 : 0;
}

// Whether the last install found a boot monitor that changes the firmware it
// receives, so that no backup can put firmware back.
EMSCRIPTEN_KEEPALIVE int tarvo_web_monitor_changes()
{
    return g_monitorChanges ? 1 : 0;
}

// Whether the last install's connection failed part way (the adapter was
// unplugged or stopped answering).
EMSCRIPTEN_KEEPALIVE int tarvo_web_connection_lost()
{
    return g_lost ? 1 : 0;
}

// The length of the flash region the running action works on, for the
// page's progress bar.
EMSCRIPTEN_KEEPALIVE uint32_t tarvo_web_region_size()
{
    return g_fw_total_size;
}
}
