// What the page calls: one program run at a time over the chosen port, with
// the program-wide state a command-line run would start from.
#include <emscripten.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "package/PackTool.h"
#include "Pause.h"
#include "TarvoXcon.h"
#include "WebBackup.h"
#include "WebEvents.h"
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

// Runs one of the page's procedures over the chosen port; what it did comes
// as events (WebEvents.h), the outcome last. command: "connect", "packages"
// (file: the package file; arg: board,type,flash), "settings-save" and
// "settings-restore" (file), tarvo-backup's "save", "verify" and "restore"
// (file: the target), "check" (file: the package, or ""), "install" (file: the package; arg: the empty backup folder).
EMSCRIPTEN_KEEPALIVE int tarvo_web_procedure(const char* command, const char* file,
                                             const char* arg, const char* portName)
{
    startRun();
    const std::string what = command;
    int status = 1;
    try {
        if (what == "connect") {
            status = webConnect(portName);
        } else if (what == "packages") {
            unsigned board = 0, type = 0, flash = 0;
            if (sscanf(arg, "%u,%u,%u", &board, &type, &flash) == 3)
                status = webPackages(file, static_cast<uint16_t>(board), static_cast<uint8_t>(type),
                                     flash);
        } else if (what == "settings-save" || what == "settings-restore") {
            status = webSettings(what == "settings-save" ? "save" : "restore", file, portName);
        } else if (what == "check") {
            status = webCheck(file, portName);
        } else if (what == "install") {
            status = webInstall(arg, portName, file);
        } else {
            status = webBackup(what, file, portName);
        }
    } catch (const std::exception& e) {
        // The adapter failed part way (or the port went): said as such.
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        sendOutcome("adapter-failed", e.what());
    }
    fflush(stdout);
    fflush(stderr);
    return status;
}
}
