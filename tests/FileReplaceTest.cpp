// Every kind of target the file-writing unit meets, and the three programs
// writing through it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "files/FileReplace.h"
#include "FileReplaceChild.h"
#include "PackageBuilder.h"
#include "ChildProcess.h"
#include "SimRun.h"

namespace {

using namespace filetest;
namespace fs = std::filesystem;

const Bytes OLD(3000, 0x11);
const Bytes NEW = patternBytes(4096, 7);
const Bytes LONGER(6000, 0x22);

class FileReplaceTest : public testing::Test {
public:
    void SetUp() override { _umask = umask(022); }
    void TearDown() override { umask(_umask); }

    std::string file(const std::string& name, const Bytes& content, mode_t mode)
    {
        std::string path = dir().path(name);
        writeFile(path, content);
        chmod(path.c_str(), mode);
        return path;
    }
    void link(const std::string& target, const std::string& name)
    {
        ASSERT_EQ(symlink(target.c_str(), dir().path(name).c_str()), 0);
    }

    TempDir& dir() { return *_scratch; }

    std::unique_ptr<TempDir> _scratch = std::make_unique<TempDir>();
    mode_t _umask = 0;
};

enum class Inode { Kept, Replaced, New };

TEST_F(FileReplaceTest, EveryKindOfTargetEndsAsTheContractSays)
{
    const std::string longName(255, 'n');
    struct Case {
        const char* what;
        std::function<std::string(FileReplaceTest&)> make;  // returns the path to save to
        As as;
        rlim_t sizeLimit;
        int exitCode;
        std::string error;          // its tail, "" when it succeeds
        std::string file;           // the file that ends up with the content
        Bytes content;              // what it holds afterwards
        mode_t mode;                // its permission bits afterwards
        Inode inode;
        std::set<std::string> names;  // everything in the scratch folder afterwards
        std::set<std::string> links;  // names that must still be symbolic links
    } cases[] = {
        {"new file", [](FileReplaceTest& t) { return t.dir().path("f"); }, As::Caller, RLIM_INFINITY, 0,
         "", "f", NEW, 0644, Inode::New, {"f"}, {}},
        {"regular 0640 file, owner kept",
         [](FileReplaceTest& t) {
             std::string f = t.file("f", OLD, 0640);
             giveTo(f, NOBODY);
             return f;
         },
         As::Caller, RLIM_INFINITY, 0, "", "f", NEW, 0640, Inode::Replaced, {"f"}, {}},
        {"read-only file of an unprivileged user",
         [](FileReplaceTest& t) {
             giveTo(t.dir().path(""), NOBODY);
             std::string f = t.file("f", OLD, 0444);
             giveTo(f, NOBODY);
             return f;
         },
         As::Nobody, RLIM_INFINITY, 1, ": Permission denied", "f", OLD, 0444, Inode::Kept, {"f"}, {}},
        {"symbolic link",
         [](FileReplaceTest& t) {
             t.file("f", OLD, 0600);
             t.link("f", "l");
             return t.dir().path("l");
         },
         As::Caller, RLIM_INFINITY, 0, "", "f", NEW, 0600, Inode::Replaced, {"f", "l"}, {"l"}},
        {"chain of relative and absolute links",
         [](FileReplaceTest& t) {
             t.file("f", OLD, 0640);
             fs::create_directory(t.dir().path("sub"));
             t.link("sub/l2", "l1");
             t.link("../l3", "sub/l2");
             t.link(t.dir().path("f"), "l3");
             return t.dir().path("l1");
         },
         As::Caller, RLIM_INFINITY, 0, "", "f", NEW, 0640, Inode::Replaced,
         {"f", "l1", "l3", "sub", "sub/l2"}, {"l1", "sub/l2", "l3"}},
        {"dangling link creates what it names",
         [](FileReplaceTest& t) {
             t.link("f", "l");
             return t.dir().path("l");
         },
         As::Caller, RLIM_INFINITY, 0, "", "f", NEW, 0644, Inode::New, {"f", "l"}, {"l"}},
        // In place, so the other name holds the new content too; the longer
        // old content leaves no tail behind it at either name.
        {"hard-linked file is written in place",
         [](FileReplaceTest& t) {
             std::string f = t.file("f", LONGER, 0600);
             EXPECT_EQ(::link(f.c_str(), t.dir().path("g").c_str()), 0);
             return f;
         },
         As::Caller, RLIM_INFINITY, 0, "", "g", NEW, 0600, Inode::Kept, {"f", "g"}, {}},
        {"hard-linked file, at the name written",
         [](FileReplaceTest& t) {
             std::string f = t.file("f", LONGER, 0600);
             EXPECT_EQ(::link(f.c_str(), t.dir().path("g").c_str()), 0);
             return f;
         },
         As::Caller, RLIM_INFINITY, 0, "", "f", NEW, 0600, Inode::Kept, {"f", "g"}, {}},
        {"directory is refused",
         [](FileReplaceTest& t) {
             fs::create_directory(t.dir().path("d"));
             return t.dir().path("d");
         },
         As::Caller, RLIM_INFINITY, 1, ": Is a directory", "", {}, 0, Inode::Kept, {"d"}, {}},
        {"writable file in a folder the user cannot write",
         [](FileReplaceTest& t) {
             giveTo(t.dir().path(""), NOBODY);
             fs::create_directory(t.dir().path("ro"));
             std::string f = t.file("ro/f", OLD, 0644);
             giveTo(f, NOBODY);
             chmod(t.dir().path("ro").c_str(), 0555);
             return f;
         },
         As::Nobody, RLIM_INFINITY, 0, "", "ro/f", NEW, 0644, Inode::Kept, {"ro", "ro/f"}, {}},
        {"another user's writable file stays theirs",
         [](FileReplaceTest& t) {
             giveTo(t.dir().path(""), NOBODY);
             return t.file("f", OLD, 0666);
         },
         As::Nobody, RLIM_INFINITY, 0, "", "f", NEW, 0666, Inode::Kept, {"f"}, {}},
        {"255-byte name", [&](FileReplaceTest& t) { return t.file(longName, OLD, 0644); }, As::Caller,
         RLIM_INFINITY, 0, "", longName, NEW, 0644, Inode::Replaced, {longName}, {}},
        {"file-size limit", [](FileReplaceTest& t) { return t.file("f", OLD, 0644); }, As::Caller, 3500, 1,
         ": File too large", "f", OLD, 0644, Inode::Kept, {"f"}, {}},
        {"file-size limit on a new file", [](FileReplaceTest& t) { return t.dir().path("f"); }, As::Caller,
         3500, 1, ": File too large", "", {}, 0, Inode::Kept, {}, {}},
    };
    for (const auto& c : cases) {
        _scratch = std::make_unique<TempDir>();
        chmod(dir().path("").c_str(), 0755);
        const std::string target = c.make(*this);
        const std::string checked = c.file.empty() ? "" : dir().path(c.file);
        const struct stat before = statOf(checked);

        Outcome r = saveInChild(target, NEW, c.as, c.sizeLimit);
        EXPECT_EQ(r.signal, 0) << c.what;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.error;
        if (c.exitCode) {
            EXPECT_TRUE(r.error.size() > c.error.size() &&
                        r.error.compare(r.error.size() - c.error.size(), c.error.size(), c.error) == 0)
                << c.what << ": " << r.error;
        }

        EXPECT_EQ(entries(dir().path("")), c.names) << c.what;
        for (const auto& name : c.links)
            EXPECT_TRUE(fs::is_symlink(dir().path(name))) << c.what << ": " << name;
        if (!checked.empty()) {
            const struct stat after = statOf(checked);
            EXPECT_EQ(readFile(checked), c.content) << c.what;
            EXPECT_EQ(after.st_mode & 07777, c.mode) << c.what;
            if (c.inode != Inode::New) {
                EXPECT_EQ(after.st_uid, before.st_uid) << c.what;
                EXPECT_EQ(after.st_gid, before.st_gid) << c.what;
                EXPECT_EQ(after.st_ino == before.st_ino, c.inode == Inode::Kept) << c.what;
            }
        }
        chmod(dir().path("ro").c_str(), 0755);
    }
}

// Special files are written through, never renamed over.
TEST_F(FileReplaceTest, DevicesAndFifosAreWrittenInPlace)
{
    ASSERT_EQ(mkfifo(dir().path("fifo").c_str(), 0600), 0);
    Bytes fromFifo;
    std::thread reader([&] { fromFifo = readFile(dir().path("fifo")); });
    Outcome fifo = saveInChild(dir().path("fifo"), NEW);
    reader.join();
    EXPECT_EQ(fifo.exitCode, 0) << fifo.error;
    EXPECT_EQ(fromFifo, NEW);
    EXPECT_TRUE(S_ISFIFO(statOf(dir().path("fifo")).st_mode));

    link("/dev/null", "null");
    for (std::string path : {std::string("/dev/null"), dir().path("null")}) {
        Outcome r = saveInChild(path, NEW);
        EXPECT_EQ(r.exitCode, 0) << path << ": " << r.error;
        EXPECT_TRUE(S_ISCHR(statOf("/dev/null").st_mode));
    }
    EXPECT_EQ(entries(dir().path("")), (std::set<std::string>{"fifo", "null"}));
    for (const auto& e : fs::directory_iterator("/dev"))
        EXPECT_NE(e.path().filename().string().rfind(".tarvo-", 0), 0u) << e.path();

    // Standard output, reached through /proc: the open file gets the content.
    const std::string out = dir().path("out");
    Outcome r = writeInChild([&](std::string& error) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
            return false;
        return writeFileAtomically("/dev/stdout", NEW.data(), NEW.size(), error);
    });
    EXPECT_EQ(r.exitCode, 0) << r.error;
    EXPECT_EQ(readFile(out), NEW);
    EXPECT_EQ(entries(dir().path("")), (std::set<std::string>{"fifo", "null", "out"}));
}

// A stop signal during the write removes the new file and still stops the
// program; an abandoned write leaves the old file too. A signal the user set
// to be ignored before the program started (nohup) changes nothing.
TEST_F(FileReplaceTest, StoppedOrAbandonedWritesLeaveTheOldFile)
{
    struct Case {
        bool append;
        int signal;  // 0: the content gives up instead
        bool ignored;
    } cases[] = {
        {false, SIGINT, false}, {false, SIGTERM, false}, {false, SIGHUP, false}, {false, 0, false},
        {true, SIGINT, false},  {true, SIGTERM, false},  {true, SIGHUP, false},  {true, 0, false},
        {false, SIGHUP, true},  {true, SIGHUP, true},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.append ? "append, " : "replace, ") +
                                 (c.signal ? strsignal(c.signal) : "abandoned") + (c.ignored ? ", ignored" : "");
        _scratch = std::make_unique<TempDir>();
        const std::string f = file("f", OLD, 0600);
        link("f", "l");
        const ino_t inode = statOf(f).st_ino;
        FileContent content = [&](FileSink& sink, std::string& error) {
            if (!sink.write(NEW.data(), 1000))
                return false;
            if (c.signal)
                raise(c.signal);
            if (c.ignored)
                return sink.write(NEW.data() + 1000, NEW.size() - 1000);
            error = "given up";
            return false;
        };
        Outcome r = writeInChild([&](std::string& error) {
            if (c.ignored)
                signal(c.signal, SIG_IGN);
            uint64_t offset = 0;
            return c.append ? appendToFile(dir().path("l"), content, offset, error)
                            : replaceFile(dir().path("l"), content, error);
        });
        EXPECT_EQ(entries(dir().path("")), (std::set<std::string>{"f", "l"})) << what;
        if (c.ignored) {
            EXPECT_EQ(r.signal, 0) << what;
            EXPECT_EQ(r.exitCode, 0) << what << ": " << r.error;
            Bytes written = c.append ? OLD : Bytes();
            written.insert(written.end(), NEW.begin(), NEW.end());
            EXPECT_EQ(readFile(f), written) << what;
            continue;
        }
        EXPECT_EQ(r.signal, c.signal) << what;
        if (!c.signal) {
            EXPECT_EQ(r.exitCode, 1) << what;
            EXPECT_EQ(r.error, "given up") << what;
        }
        EXPECT_EQ(readFile(f), OLD) << what;
        EXPECT_EQ(statOf(f).st_ino, inode) << what;
    }
}

// The guard is only there while a file is written: the program's own signal
// handling is back afterwards.
extern "C" void ownHandler(int) {}

TEST_F(FileReplaceTest, SignalHandlingIsRestoredAfterAWrite)
{
    struct sigaction own {};
    own.sa_handler = ownHandler;
    struct sigaction saved[3];
    const int signals[] = {SIGHUP, SIGINT, SIGXFSZ};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &own, &saved[0]);
    sigaction(SIGINT, &ignore, &saved[1]);
    for (bool succeeds : {true, false}) {
        std::string error;
        replaceFile(
            dir().path("f"), [&](FileSink& sink, std::string&) { return sink.write(NEW.data(), 10) && succeeds; },
            error);
        struct sigaction now[3];
        for (int i = 0; i < 3; i++)
            sigaction(signals[i], nullptr, &now[i]);
        EXPECT_EQ(now[0].sa_handler, ownHandler);
        EXPECT_EQ(now[1].sa_handler, SIG_IGN);
        EXPECT_EQ(now[2].sa_handler, SIG_DFL);
    }
    sigaction(SIGHUP, &saved[0], nullptr);
    sigaction(SIGINT, &saved[1], nullptr);
}

TEST_F(FileReplaceTest, AppendFollowsLinksAndCutsBackOnFailure)
{
    const std::string f = file("f", OLD, 0640);
    link("f", "l");
    uint64_t offset = 99;
    std::string error;
    FileContent content = [](FileSink& sink, std::string&) { return sink.write(NEW.data(), NEW.size()); };
    ASSERT_TRUE(appendToFile(dir().path("l"), content, offset, error)) << error;
    EXPECT_EQ(offset, OLD.size());
    Bytes both = OLD;
    both.insert(both.end(), NEW.begin(), NEW.end());
    EXPECT_EQ(readFile(f), both);
    EXPECT_EQ(statOf(f).st_mode & 07777, 0640u);
    EXPECT_TRUE(fs::is_symlink(dir().path("l")));

    Outcome limited = writeInChild(
        [&](std::string& e) { return appendToFile(f, content, offset, e); }, As::Caller, both.size() + 100);
    EXPECT_EQ(limited.exitCode, 1);
    EXPECT_EQ(limited.error, "cannot write " + f + ": File too large");
    EXPECT_EQ(readFile(f), both);

    ASSERT_TRUE(appendToFile(dir().path("new"), content, offset, error)) << error;
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(readFile(dir().path("new")), NEW);
}

// Runs a built program under a file-size limit.
ProcessResult runLimited(std::vector<std::string> argv, rlim_t limit)
{
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit r = {limit, limit};
        int null = open("/dev/null", O_WRONLY);
        if (setrlimit(RLIMIT_FSIZE, &r) != 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0 ||
            dup2(null, STDERR_FILENO) < 0)
            _exit(99);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(&a[0]);
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST_F(FileReplaceTest, TarvoSaveThroughALinkKeepsTheLinkAndTheMode)
{
    const std::string user = file("user.dat", OLD, 0600);
    link("user.dat", "backup");
    const std::string state = dir().path("flash.bin");
    SimRun run = runAgainstSim({"--state=" + state}, {"-s", dir().path("backup")});
    EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
    const Bytes flash = readFile(state);
    ASSERT_EQ(flash.size(), 0x40000u);
    EXPECT_EQ(readFile(user), Bytes(flash.begin() + 0x3F000, flash.end()));
    EXPECT_TRUE(fs::is_symlink(dir().path("backup")));
    EXPECT_EQ(statOf(user).st_mode & 07777, 0600u);
}

TEST_F(FileReplaceTest, SettingsToolEditsTheFileALinkNames)
{
    const std::string user = dir().path("user.dat");
    link("user.dat", "l");
    ProcessResult made = runProcess({binPath("tarvo-settings"), "default", "-o", dir().path("l")});
    ASSERT_EQ(made.status, 0) << made.err;
    chmod(user.c_str(), 0640);
    const Bytes before = readFile(user);

    ProcessResult set = runProcess({binPath("tarvo-settings"), "set", dir().path("l"), "0x78", "01"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_NE(readFile(user), before);
    EXPECT_TRUE(fs::is_symlink(dir().path("l")));
    EXPECT_EQ(statOf(user).st_mode & 07777, 0640u);

    ProcessResult refused = runProcess({binPath("tarvo-settings"), "format", "-o", dir().path("")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tarvo-settings: cannot write " + dir().path("") + ": Is a directory\n");
}

TEST_F(FileReplaceTest, PackCreateStoppedByAFileSizeLimitLeavesTheOldPackage)
{
    const std::string payload = file("payload.bin", patternBytes(100000, 3), 0644);
    const std::string pkg = dir().path("fw.pkg");
    ProcessResult made = runProcess({binPath("tarvo-pack"), "create", "--type=E", "--hw=1", "--fit=128k", payload, pkg});
    ASSERT_EQ(made.status, 0) << made.err;
    const Bytes old = readFile(pkg);

    for (bool append : {false, true}) {
        std::vector<std::string> args = {binPath("tarvo-pack"), "create", "--type=E", "--hw=2", "--fit=128k"};
        if (append)
            args.push_back("--append");
        args.insert(args.end(), {payload, pkg});
        // Half the package, on top of what is already there when appending.
        ProcessResult r = runLimited(args, (append ? old.size() : 0) + old.size() / 2);
        EXPECT_EQ(r.status, 1) << "append " << append;
        EXPECT_EQ(readFile(pkg), old) << "append " << append;
        EXPECT_EQ(entries(dir().path("")), (std::set<std::string>{"fw.pkg", "payload.bin"}));
    }
}

}  // namespace
