#include "SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace {

constexpr int START_WAIT_MS = 5000;
constexpr int PROBE_WAIT_MS = 2000;
constexpr int STOP_WAIT_MS = 10000;

// Reads exactly size bytes unless the line stays quiet for PROBE_WAIT_MS.
bool readAll(int fd, char* data, size_t size)
{
    size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, PROBE_WAIT_MS) <= 0)
            return false;
        ssize_t n = ::read(fd, data + got, size - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SimServer::~SimServer() { stop(); }

bool SimServer::start(const std::vector<std::string>& options, const std::string& statsPath)
{
    std::vector<std::string> argv = {binPath("tarvo-sim"), "--stats=" + statsPath};
    argv.insert(argv.end(), options.begin(), options.end());
    _sim = std::make_unique<ChildProcess>(argv);
    _statsPath = statsPath;
    // Its first line names the terminal it serves.
    if (!_sim->waitForOutput("\n", START_WAIT_MS))
        return false;
    _tty = _sim->out().substr(0, _sim->out().find('\n'));
    return !_tty.empty();
}

double SimServer::probeRoundTrip(int count)
{
    int fd = ::open(_tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    const char command[] = "w00000FF4,4#";
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    bool ok = true;
    for (int i = 0; i < count && ok; i++) {
        char reply[4];
        ok = ::write(fd, command, sizeof(command) - 1) == sizeof(command) - 1 &&
             readAll(fd, reply, sizeof(reply));
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return ok ? seconds / count : -1;
}

std::map<std::string, double> SimServer::stop()
{
    std::map<std::string, double> counters;
    if (!_sim)
        return counters;
    _sim->signal(SIGTERM);
    _sim->finish(STOP_WAIT_MS);
    _sim.reset();
    std::ifstream in(_statsPath);
    std::string name;
    double value;
    while (in >> name >> value)
        counters[name] = value;
    return counters;
}
