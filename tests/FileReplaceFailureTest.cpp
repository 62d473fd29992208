// The file-writing unit when something goes wrong on the way: the calls that
// must come in order, failures of those calls, exceptions, nested writes,
// stop signals the program handles itself, and ownership it cannot keep.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "FileReplaceChild.h"
#include "files/PosixFileCalls.h"

namespace {

using namespace filetest;

const Bytes OLD(3000, 0x11);
const Bytes NEW = patternBytes(4096, 7);

// What each watched call was given, in order, and the size of each file synced.
std::vector<std::string> g_calls;
std::vector<off_t> g_syncedSizes;
PosixFileCalls g_system;
int g_failFsyncOfFile = 0;  // errno the sync of a regular file fails with
int g_failRename = 0;

std::string describe(int fd)
{
    struct stat st {};
    fstat(fd, &st);
    return S_ISDIR(st.st_mode) ? "folder" : "file " + std::to_string(st.st_ino);
}

int watchedFsync(int fd)
{
    const std::string what = describe(fd);
    g_calls.push_back("fsync " + what);
    struct stat st {};
    fstat(fd, &st);
    g_syncedSizes.push_back(st.st_size);
    if (g_failFsyncOfFile && what != "folder") {
        errno = g_failFsyncOfFile;
        return -1;
    }
    return g_system.fsync(fd);
}

int watchedRename(const char* from, const char* to)
{
    g_calls.push_back("rename");
    if (g_failRename) {
        errno = g_failRename;
        return -1;
    }
    return g_system.rename(from, to);
}

class FileReplaceFailureTest : public testing::Test {
public:
    void SetUp() override
    {
        g_system = posixFileCalls();
        posixFileCalls() = {watchedFsync, watchedRename};
        g_calls.clear();
        g_failFsyncOfFile = g_failRename = 0;
        sigaction(SIGINT, nullptr, &_sigint);
    }
    void TearDown() override { posixFileCalls() = g_system; }

    std::string file(const std::string& name, const Bytes& content)
    {
        std::string path = _dir.path(name);
        writeFile(path, content);
        chmod(path.c_str(), 0644);
        return path;
    }
    std::set<std::string> names() { return entries(_dir.path("")); }
    void expectSigintAsBefore(const std::string& what)
    {
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        EXPECT_EQ(now.sa_handler, _sigint.sa_handler) << what;
    }

    TempDir _dir;
    struct sigaction _sigint {};
};

FileContent writesAll(const Bytes& data)
{
    return [&data](FileSink& sink, std::string&) { return sink.write(data.data(), data.size()); };
}

TEST_F(FileReplaceFailureTest, NewContentIsSyncedBeforeTheRenameAndTheFolderAfter)
{
    for (bool existing : {true, false}) {
        g_calls.clear();
        const std::string f = existing ? file("f", OLD) : _dir.path("new");
        std::string error;
        ASSERT_TRUE(replaceFile(f, writesAll(NEW), error)) << error;
        const std::string written = "file " + std::to_string(statOf(f).st_ino);
        EXPECT_EQ(g_calls, (std::vector<std::string>{"fsync " + written, "rename", "fsync folder"}))
            << "existing " << existing;
        EXPECT_EQ(readFile(f), NEW);
    }
    // An append has nothing to rename; its content still reaches the disk.
    g_calls.clear();
    const std::string f = _dir.path("f");
    uint64_t offset = 0;
    std::string error;
    ASSERT_TRUE(appendToFile(f, writesAll(NEW), offset, error)) << error;
    EXPECT_EQ(g_calls, (std::vector<std::string>{"fsync file " + std::to_string(statOf(f).st_ino)}));

    // So does the cut-back of a failed append: the file's old length is synced.
    for (bool throws : {false, true}) {
        g_calls.clear();
        g_syncedSizes.clear();
        const std::string old = file("old", OLD);
        FileContent content = [throws](FileSink& sink, std::string& e) -> bool {
            sink.write(NEW.data(), 1000);
            if (throws)
                throw std::runtime_error("content failed");
            e = "given up";
            return false;
        };
        try {
            EXPECT_FALSE(appendToFile(old, content, offset, error));
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(g_calls, (std::vector<std::string>{"fsync file " + std::to_string(statOf(old).st_ino)}))
            << "throws " << throws;
        EXPECT_EQ(g_syncedSizes, std::vector<off_t>{static_cast<off_t>(OLD.size())}) << "throws " << throws;
        EXPECT_EQ(readFile(old), OLD);
    }
}

TEST_F(FileReplaceFailureTest, AFailedSyncOrRenameRemovesTheNewFile)
{
    struct Case {
        const char* what;
        bool existing;
        int fsyncErrno, renameErrno;
        std::string reason;
        std::vector<std::string> calls;  // their first words
    } cases[] = {
        {"rename fails", true, 0, EXDEV, "cannot replace", {"fsync", "rename"}},
        {"rename of a new file fails", false, 0, EIO, "cannot replace", {"fsync", "rename"}},
        {"sync fails", true, EIO, 0, "cannot write", {"fsync"}},
    };
    for (const auto& c : cases) {
        g_calls.clear();
        g_failFsyncOfFile = c.fsyncErrno;
        g_failRename = c.renameErrno;
        const std::string f = c.existing ? file("f", OLD) : _dir.path("f");
        const ino_t inode = statOf(f).st_ino;
        std::string error;
        EXPECT_FALSE(replaceFile(f, writesAll(NEW), error)) << c.what;
        EXPECT_EQ(error, c.reason + " " + f + ": " + strerror(c.fsyncErrno ? c.fsyncErrno : c.renameErrno))
            << c.what;
        std::vector<std::string> calls;
        for (const auto& call : g_calls)
            calls.push_back(call.substr(0, call.find(' ')));
        EXPECT_EQ(calls, c.calls) << c.what;
        EXPECT_EQ(names(), c.existing ? std::set<std::string>{"f"} : std::set<std::string>{}) << c.what;
        if (c.existing) {
            EXPECT_EQ(readFile(f), OLD) << c.what;
            EXPECT_EQ(statOf(f).st_ino, inode) << c.what;
        }
        unlink(f.c_str());
    }
}

TEST_F(FileReplaceFailureTest, ContentThatThrowsLeavesTheOldFileAndNoOther)
{
    enum Kind { Replace, Create, Append };
    for (Kind kind : {Replace, Create, Append}) {
        const std::string what = kind == Replace ? "replace" : kind == Create ? "create" : "append";
        const std::string f = kind == Create ? _dir.path("f") : file("f", OLD);
        FileContent content = [](FileSink& sink, std::string&) -> bool {
            sink.write(NEW.data(), 1000);
            throw std::runtime_error("content failed");
        };
        uint64_t offset = 0;
        std::string error;
        EXPECT_THROW(kind == Append ? appendToFile(f, content, offset, error) : replaceFile(f, content, error),
                     std::runtime_error)
            << what;
        EXPECT_EQ(names(), kind == Create ? std::set<std::string>{} : std::set<std::string>{"f"}) << what;
        if (kind != Create) {
            EXPECT_EQ(readFile(f), OLD) << what;
        }
        expectSigintAsBefore(what);
        unlink(f.c_str());
    }
}

// A write whose content writes another file: each cleans up after itself,
// whatever the inner one did, and the signal handling is back afterwards.
TEST_F(FileReplaceFailureTest, NestedWritesEachEndCleanly)
{
    enum Inner { Succeeds, GivesUp, Throws };
    for (Inner inner : {Succeeds, GivesUp, Throws}) {
        const std::string what = inner == Succeeds ? "succeeds" : inner == GivesUp ? "gives up" : "throws";
        const std::string outer = file("outer", OLD);
        const std::string nested = file("inner", OLD);
        FileContent innerContent = [inner](FileSink& sink, std::string& e) -> bool {
            if (!sink.write(NEW.data(), 100))
                return false;
            if (inner == Throws)
                throw std::runtime_error("inner");
            e = "inner gave up";
            return inner == Succeeds && sink.write(NEW.data() + 100, NEW.size() - 100);
        };
        FileContent outerContent = [&](FileSink& sink, std::string&) {
            if (!sink.write(NEW.data(), 100))
                return false;
            std::string innerError;
            try {
                replaceFile(nested, innerContent, innerError);
            } catch (const std::runtime_error&) {
            }
            return sink.write(NEW.data() + 100, NEW.size() - 100);
        };
        std::string error;
        EXPECT_TRUE(replaceFile(outer, outerContent, error)) << what << ": " << error;
        EXPECT_EQ(readFile(outer), NEW) << what;
        EXPECT_EQ(readFile(nested), inner == Succeeds ? NEW : OLD) << what;
        EXPECT_EQ(names(), (std::set<std::string>{"inner", "outer"})) << what;
        expectSigintAsBefore(what);
    }

    // A stop signal in the inner write undoes both.
    const std::string outer = file("outer", OLD);
    const std::string nested = file("inner", OLD);
    Outcome r = writeInChild([&](std::string& error) {
        return replaceFile(
            outer,
            [&](FileSink& sink, std::string& e) {
                sink.write(NEW.data(), 100);
                return replaceFile(
                    nested,
                    [](FileSink& s, std::string&) {
                        s.write(NEW.data(), 100);
                        raise(SIGINT);
                        return true;
                    },
                    e);
            },
            error);
    });
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(readFile(outer), OLD);
    EXPECT_EQ(readFile(nested), OLD);
    EXPECT_EQ(names(), (std::set<std::string>{"inner", "outer"}));
}

int g_ownHandlerCalls = 0;
extern "C" void countingHandler(int) { g_ownHandlerCalls++; }

// The program's own SIGINT handler returns: the write is undone and fails,
// and goes no further, rather than going on from where it was stopped.
TEST_F(FileReplaceFailureTest, AStopSignalTheProgramHandlesFailsTheWrite)
{
    for (bool append : {false, true}) {
        const std::string what = append ? "append" : "replace";
        const std::string f = file("f", OLD);
        Outcome r = writeInChild([&](std::string& error) {
            struct sigaction own {};
            own.sa_handler = countingHandler;
            sigaction(SIGINT, &own, nullptr);
            FileContent content = [](FileSink& sink, std::string&) {
                if (!sink.write(NEW.data(), 1000))
                    return false;
                raise(SIGINT);
                return sink.write(NEW.data() + 1000, NEW.size() - 1000);
            };
            uint64_t offset = 0;
            bool ok = append ? appendToFile(f, content, offset, error) : replaceFile(f, content, error);
            struct sigaction now {};
            sigaction(SIGINT, nullptr, &now);
            error += "; handled " + std::to_string(g_ownHandlerCalls);
            if (now.sa_handler != countingHandler)
                error += "; handler not restored";
            // The next write is not held back by the stopped one.
            std::string next;
            if (!writeFileAtomically(f + ".next", NEW.data(), NEW.size(), next))
                error += "; next write failed: " + next;
            return ok;
        });
        EXPECT_EQ(r.signal, 0) << what;
        EXPECT_EQ(r.exitCode, 1) << what;
        EXPECT_EQ(r.error, "cannot write " + f + ": " + strerror(EINTR) + "; handled 1") << what;
        EXPECT_EQ(readFile(f), OLD) << what;
        EXPECT_EQ(readFile(f + ".next"), NEW) << what;
        EXPECT_EQ(names(), (std::set<std::string>{"f", "f.next"})) << what;
        unlink((f + ".next").c_str());
    }
}

// A file whose owner or group the new file could not have is written in
// place, so the right people keep their access; root keeps both on a new file.
TEST_F(FileReplaceFailureTest, AReplacedFileKeepsItsOwnerAndGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make files of other users and groups";
    struct Case {
        const char* what;
        As as;
        uid_t uid;
        gid_t gid;
        mode_t mode;
        bool sameInode;
    } cases[] = {
        {"own file, a group the user is not in", As::Nobody, NOBODY, 0, 0640, true},
        {"own file, own group", As::Nobody, NOBODY, NOBODY, 0640, false},
        {"root saving another user's file", As::Caller, NOBODY, 0, 0640, false},
        {"root keeps the set-user-id bit", As::Caller, NOBODY, NOBODY, 04755, false},
    };
    ASSERT_EQ(chown(_dir.path("").c_str(), NOBODY, NOBODY), 0);
    for (const auto& c : cases) {
        const std::string f = file("f", OLD);
        ASSERT_EQ(chown(f.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(chmod(f.c_str(), c.mode), 0);
        const ino_t inode = statOf(f).st_ino;
        Outcome r = saveInChild(f, NEW, c.as);
        EXPECT_EQ(r.exitCode, 0) << c.what << ": " << r.error;
        const struct stat after = statOf(f);
        EXPECT_EQ(readFile(f), NEW) << c.what;
        EXPECT_EQ(after.st_uid, c.uid) << c.what;
        EXPECT_EQ(after.st_gid, c.gid) << c.what;
        EXPECT_EQ(after.st_mode & 07777, c.mode) << c.what;
        EXPECT_EQ(after.st_ino == inode, c.sameInode) << c.what;
        EXPECT_EQ(names(), (std::set<std::string>{"f"})) << c.what;
        unlink(f.c_str());
    }
}

TEST_F(FileReplaceFailureTest, ASocketIsRefusedAndLeftAlone)
{
    const std::string path = _dir.path("s");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    for (bool append : {false, true}) {
        std::string error;
        uint64_t offset = 0;
        EXPECT_FALSE(append ? appendToFile(path, writesAll(NEW), offset, error)
                            : replaceFile(path, writesAll(NEW), error));
        EXPECT_EQ(error, "cannot write " + path + ": " + strerror(ENXIO));
        EXPECT_TRUE(S_ISSOCK(statOf(path).st_mode));
        EXPECT_EQ(names(), (std::set<std::string>{"s"}));
    }
    close(s);
}

// A program the content starts must not hold the new file open.
TEST_F(FileReplaceFailureTest, TheNewFileIsNotInheritedByChildren)
{
    int tempFlags = -1;
    std::string error;
    ASSERT_TRUE(replaceFile(
        file("f", OLD),
        [&](FileSink& sink, std::string&) {
            for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code ec;
                const auto target = std::filesystem::read_symlink(e.path(), ec);
                if (!ec && target.filename().string().rfind(".tarvo-", 0) == 0)
                    tempFlags = fcntl(std::stoi(e.path().filename().string()), F_GETFD);
            }
            return sink.write(NEW.data(), NEW.size());
        },
        error))
        << error;
    ASSERT_NE(tempFlags, -1) << "no temporary file open while the content is written";
    EXPECT_TRUE(tempFlags & FD_CLOEXEC);
}

}  // namespace
