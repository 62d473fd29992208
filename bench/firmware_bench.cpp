// Times a firmware install through the real programs: tarvo -f against
// tarvo-sim on a pseudo-terminal, with the terminal's round trip measured in
// the same run, and prints the figures beside the expected time.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PROBES = 500;  // before the run, and as many after
constexpr double INIT_PAUSE_S = 0.5;

std::string bin(const std::string& name)
{
    return std::string(TARVO_BIN_DIR) + "/" + name;
}

// Starts argv with standard output to outFd (or /dev/null when -1) and
// standard error to /dev/null; returns the pid.
pid_t spawn(const std::vector<std::string>& argv, int outFd)
{
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(outFd >= 0 ? outFd : devNull, 1);
        dup2(devNull, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool run(const std::vector<std::string>& argv)
{
    pid_t pid = spawn(argv, -1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Mean seconds for one word read on the terminal, as the monitor answers it.
double roundTrip(const std::string& tty)
{
    int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    const char cmd[] = "w00000FF4,4#";
    auto start = Clock::now();
    for (int i = 0; i < PROBES; i++) {
        if (write(fd, cmd, sizeof(cmd) - 1) != sizeof(cmd) - 1)
            return close(fd), -1;
        char reply[4];
        for (size_t got = 0; got < sizeof(reply);) {
            ssize_t n = read(fd, reply + got, sizeof(reply) - got);
            if (n <= 0)
                return close(fd), -1;
            got += static_cast<size_t>(n);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count() / PROBES;
    close(fd);
    return seconds;
}

unsigned long long statValue(const std::string& path, const std::string& key)
{
    std::ifstream in(path);
    std::string name;
    unsigned long long value;
    while (in >> name >> value)
        if (name == key)
            return value;
    return 0;
}

struct Sim {
    pid_t pid = -1;
    std::string tty;
};

// Serves a simulated adapter; its counters go to stats when it stops.
bool startSim(const std::string& chip, const std::string& stats, Sim& sim)
{
    int pipeFd[2];
    if (pipe(pipeFd) != 0)
        return false;
    sim.pid = spawn({bin("tarvo-sim"), "--chip=" + chip, "--stats=" + stats}, pipeFd[1]);
    close(pipeFd[1]);
    sim.tty.clear();
    char c;
    while (read(pipeFd[0], &c, 1) == 1 && c != '\n')
        sim.tty += c;
    close(pipeFd[0]);
    return sim.pid > 0 && !sim.tty.empty();
}

void stopSim(Sim& sim)
{
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
}

struct Figures {
    double wall = 0, connect = 0, rtt = 0, cpu = 0;
    unsigned long long exchanges = 0;
    long maxRssKb = 0;
    int status = -1;
};

bool measure(const std::string& dir, const std::string& chip, Figures& fig)
{
    const std::string payload = dir + "/payload-" + chip + ".bin";
    const std::string package = dir + "/fw-" + chip + ".pkg";
    const std::string stats = dir + "/stats-" + chip + ".txt";
    {
        std::mt19937 gen(42);
        std::vector<char> bytes(chip == "256k" ? 0x3E000 : 0x1E000);
        for (auto& b : bytes)
            b = static_cast<char>(gen());
        std::ofstream(payload, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    }
    if (!run({bin("tarvo-pack"), "create", "--type=E", "--hw=0x0203", "--warm-reset=1",
              "--fit=" + chip.substr(0, 3), payload, package}))
        return false;

    // A run with no action, on a simulator of its own: what connecting costs.
    Sim sim;
    if (!startSim(chip, stats, sim))
        return false;
    auto start = Clock::now();
    run({bin("tarvo"), "-p", sim.tty, "-I"});
    fig.connect = std::chrono::duration<double>(Clock::now() - start).count();
    stopSim(sim);

    if (!startSim(chip, stats, sim))
        return false;
    double before = roundTrip(sim.tty);
    start = Clock::now();
    pid_t tarvo = spawn({bin("tarvo"), "-p", sim.tty, "-f", package}, -1);
    int status = 0;
    rusage usage{};
    wait4(tarvo, &status, 0, &usage);
    fig.wall = std::chrono::duration<double>(Clock::now() - start).count();
    fig.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    fig.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    fig.maxRssKb = usage.ru_maxrss;
    double after = roundTrip(sim.tty);
    fig.rtt = before > 0 && after > 0 ? (before + after) / 2 : -1;
    stopSim(sim);
    // The probes are counted too.
    fig.exchanges = statValue(stats, "exchanges") - 2 * PROBES;
    return fig.rtt > 0;
}

}  // namespace

int main()
{
    char dirTemplate[] = "/tmp/tarvo-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    int failures = 0;
    std::vector<long> peakKb;
    printf("%-5s %7s %9s %10s %7s %8s %6s %9s %6s %8s %6s\n", "chip", "wall s", "connect s",
           "exchanges", "rtt us", "model s", "ratio", "update s", "ratio", "cpu s", "exit");
    for (const std::string chip : {"128k", "256k"}) {
        Figures fig;
        if (!measure(dir, chip, fig)) {
            printf("%-5s measurement failed\n", chip.c_str());
            failures++;
            continue;
        }
        double transfer = fig.exchanges * fig.rtt;
        double model = INIT_PAUSE_S + transfer;
        double update = fig.wall - fig.connect;
        printf("%-5s %7.3f %9.3f %10llu %7.1f %8.3f %6.2f %9.3f %6.2f %8.3f %6d\n", chip.c_str(),
               fig.wall, fig.connect, fig.exchanges, fig.rtt * 1e6, model, fig.wall / model,
               update, update / transfer, fig.cpu, fig.status);
        peakKb.push_back(fig.maxRssKb);
        failures += fig.status != 0;
    }
    printf("model: %.1f s pause of the connection plus exchanges times the round trip"
           " (target: wall/model <= 1.25, cpu < 0.2 s)\n"
           "connect: a run of tarvo with no action; update: wall less connect, beside the"
           " exchanges' share of the model\n",
           INIT_PAUSE_S);
    printf("peak memory of tarvo, KB:");
    for (long kb : peakKb)
        printf(" %ld", kb);
    printf(" (128k, 256k package)\n");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return failures ? 1 : 0;
}
