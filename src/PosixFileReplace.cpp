// FileReplace on POSIX: a temporary file beside the target, synced and
// renamed over it, with a signal guard that removes it if the run is stopped.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FileReplace.h"
#include "PosixFd.h"

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
const int STOP_SIGNAL_COUNT = sizeof(STOP_SIGNALS) / sizeof(STOP_SIGNALS[0]);

// What a stop signal has to undo. Changed only with the stop signals blocked.
char g_tempName[PATH_MAX];
volatile sig_atomic_t g_haveTemp = 0;
volatile sig_atomic_t g_appendFd = -1;
off_t g_appendLength = 0;
struct sigaction g_previous[STOP_SIGNAL_COUNT];
bool g_installed[STOP_SIGNAL_COUNT];

extern "C" void undoAndReraise(int sig)
{
    int savedErrno = errno;
    if (g_haveTemp)
        unlink(g_tempName);
    if (g_appendFd >= 0 && ftruncate(g_appendFd, g_appendLength) != 0) {
    }
    // The signal stays blocked until this returns, then meets the old action.
    for (int i = 0; i < STOP_SIGNAL_COUNT; i++)
        if (STOP_SIGNALS[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
    errno = savedErrno;
}

class StopSignalsBlocked {
public:
    StopSignalsBlocked()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : STOP_SIGNALS)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &_old);
    }
    ~StopSignalsBlocked() { sigprocmask(SIG_SETMASK, &_old, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t _old;
};

// For the length of one write: a stop signal removes the temporary file (or
// cuts an appended file back) before it takes its usual effect, and a file-size
// limit makes write() fail with EFBIG instead of killing the process.
class WriteGuard {
public:
    WriteGuard()
    {
        StopSignalsBlocked blocked;
        for (int i = 0; i < STOP_SIGNAL_COUNT; i++) {
            struct sigaction sa {};
            sa.sa_handler = undoAndReraise;
            sigemptyset(&sa.sa_mask);
            for (int sig : STOP_SIGNALS)
                sigaddset(&sa.sa_mask, sig);
            sigaction(STOP_SIGNALS[i], nullptr, &g_previous[i]);
            // A signal the user chose to ignore stays ignored.
            g_installed[i] = g_previous[i].sa_handler != SIG_IGN &&
                             sigaction(STOP_SIGNALS[i], &sa, nullptr) == 0;
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &_previousXfsz);
    }
    ~WriteGuard()
    {
        StopSignalsBlocked blocked;
        g_haveTemp = 0;
        g_appendFd = -1;
        for (int i = 0; i < STOP_SIGNAL_COUNT; i++)
            if (g_installed[i])
                sigaction(STOP_SIGNALS[i], &g_previous[i], nullptr);
        sigaction(SIGXFSZ, &_previousXfsz, nullptr);
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

    // Creates the temporary file from the mkstemp pattern; it is the guard's
    // to remove from the moment it exists.
    int createTemporary(std::string& pattern)
    {
        if (pattern.size() >= sizeof(g_tempName)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        StopSignalsBlocked blocked;
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd >= 0) {
            pattern = name.data();
            memcpy(g_tempName, name.data(), name.size());
            g_haveTemp = 1;
        }
        return fd;
    }
    // Renames the temporary file over target, or removes it when that fails.
    bool commit(const std::string& target)
    {
        StopSignalsBlocked blocked;
        int result = rename(g_tempName, target.c_str());
        int savedErrno = errno;
        if (result != 0)
            unlink(g_tempName);
        g_haveTemp = 0;
        errno = savedErrno;
        return result == 0;
    }
    void discard()
    {
        StopSignalsBlocked blocked;
        int savedErrno = errno;
        if (g_haveTemp)
            unlink(g_tempName);
        g_haveTemp = 0;
        errno = savedErrno;
    }
    void guardAppend(int fd, off_t length)
    {
        StopSignalsBlocked blocked;
        g_appendLength = length;
        g_appendFd = fd;
    }

private:
    struct sigaction _previousXfsz;
};

class FdSink : public FileSink {
public:
    explicit FdSink(int fd) : _fd(fd) {}
    bool write(const uint8_t* data, size_t size) override
    {
        while (size > 0 && _errno == 0) {
            ssize_t n = ::write(_fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                _errno = n < 0 ? errno : EIO;
            else {
                data += n;
                size -= static_cast<size_t>(n);
            }
        }
        return _errno == 0;
    }
    int failure() const { return _errno; }

private:
    int _fd;
    int _errno = 0;
};

std::string failure(const char* what, const std::string& path, int err)
{
    return std::string(what) + " " + path + ": " + strerror(err);
}

// Streams the content into fd and syncs it.
bool fill(int fd, bool sync, const std::string& path, const FileContent& content,
          std::string& error)
{
    FdSink sink(fd);
    std::string reason;
    bool produced = content(sink, reason);
    if (sink.failure()) {
        error = failure("cannot write", path, sink.failure());
        return false;
    }
    if (!produced) {
        error = reason;
        return false;
    }
    if (sync && fsync(fd) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    return true;
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// /proc's links (behind /dev/stdout and /dev/fd/N) name open files, not paths.
bool inProc(const std::string& dir)
{
    char* real = realpath(dir.c_str(), nullptr);
    if (!real)
        return false;
    bool proc = strncmp(real, "/proc/", 6) == 0;
    free(real);
    return proc;
}

enum class Resolved { File, Missing, ProcLink, Error };

// Follows symbolic links from path to the name of the file they lead to, which
// need not exist yet.
Resolved followLinks(const std::string& path, std::string& name)
{
    name = path;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0)
            return errno == ENOENT ? Resolved::Missing : Resolved::Error;
        if (!S_ISLNK(st.st_mode))
            return Resolved::File;
        std::string dir = directoryOf(name);
        if (inProc(dir))
            return Resolved::ProcLink;
        if (hops == 40) {
            errno = ELOOP;
            return Resolved::Error;
        }
        std::vector<char> link(PATH_MAX);
        ssize_t n = readlink(name.c_str(), link.data(), link.size());
        if (n < 0)
            return Resolved::Error;
        if (static_cast<size_t>(n) == link.size()) {
            errno = ENAMETOOLONG;
            return Resolved::Error;
        }
        std::string target(link.data(), static_cast<size_t>(n));
        name = target[0] == '/' ? target : dir + "/" + target;
    }
}

// Devices, FIFOs, hard-linked files: every name keeps seeing the one file.
bool writeInPlace(int fd, bool regular, const std::string& path, const FileContent& content,
                  std::string& error)
{
    PosixFd file(fd);
    if (regular && ftruncate(fd, 0) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    if (!fill(fd, regular, path, content, error))
        return false;
    if (::close(file.release()) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    return true;
}

// The temporary file's name: short, so any name the target may have works.
std::string temporaryPattern(const std::string& target)
{
    return directoryOf(target) + "/.tarvo-XXXXXX";
}

bool writeBeside(WriteGuard& guard, int tempFd, const std::string& target, const struct stat* old,
                 const std::string& path, const FileContent& content, std::string& error)
{
    PosixFd temp(tempFd);
    if (old) {
        // Owner first: a change of owner clears the set-id bits.
        if (fchown(tempFd, old->st_uid, old->st_gid) != 0 &&
            fchown(tempFd, static_cast<uid_t>(-1), old->st_gid) != 0) {
        }
        if (fchmod(tempFd, old->st_mode & 07777) != 0) {
            error = failure("cannot write", path, errno);
            guard.discard();
            return false;
        }
    } else {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(tempFd, 0666 & ~mask) != 0) {
            error = failure("cannot create", path, errno);
            guard.discard();
            return false;
        }
    }
    if (!fill(tempFd, true, path, content, error)) {
        guard.discard();
        return false;
    }
    if (::close(temp.release()) != 0) {
        error = failure("cannot write", path, errno);
        guard.discard();
        return false;
    }
    if (!guard.commit(target)) {
        error = failure("cannot replace", path, errno);
        return false;
    }
    // The rename itself reaches the disk with the directory. Past this point
    // the new content is in place, so a failure here is not reported.
    PosixFd dir(open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid() && fsync(dir.get()) != 0) {
    }
    return true;
}

}  // namespace

bool replaceFile(const std::string& path, const FileContent& content, std::string& error)
{
    WriteGuard guard;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            error = failure("cannot write", path, errno);
            return false;
        }
        // A new file, perhaps where a dangling link points.
        std::string target;
        Resolved resolved = followLinks(path, target);
        if (resolved == Resolved::Error || resolved == Resolved::ProcLink) {
            error = failure("cannot create", path, resolved == Resolved::Error ? errno : ENOENT);
            return false;
        }
        std::string pattern = temporaryPattern(target);
        int tempFd = guard.createTemporary(pattern);
        if (tempFd < 0) {
            error = failure("cannot create", path, errno);
            return false;
        }
        return writeBeside(guard, tempFd, target, nullptr, path, content, error);
    }
    if (S_ISDIR(st.st_mode)) {
        error = failure("cannot write", path, EISDIR);
        return false;
    }
    // Write protection holds: the same open a shell's '>' makes, but without
    // truncating, before anything is changed.
    PosixFd existing(open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!existing.valid()) {
        error = failure("cannot write", path, errno);
        return false;
    }
    const bool regular = S_ISREG(st.st_mode);
    // Another user's file stays theirs: a renamed copy would be ours unless we may chown.
    const bool othersFile = st.st_uid != geteuid() && geteuid() != 0;
    if (!regular || st.st_nlink > 1 || othersFile)
        return writeInPlace(existing.release(), regular, path, content, error);

    std::string target;
    Resolved resolved = followLinks(path, target);
    struct stat reached;
    if (resolved == Resolved::Error) {
        error = failure("cannot write", path, errno);
        return false;
    }
    // Through /proc, or if the links changed meanwhile, only the open file is sure.
    if (resolved != Resolved::File || lstat(target.c_str(), &reached) != 0 ||
        reached.st_dev != st.st_dev || reached.st_ino != st.st_ino)
        return writeInPlace(existing.release(), regular, path, content, error);

    std::string pattern = temporaryPattern(target);
    int tempFd = guard.createTemporary(pattern);
    if (tempFd < 0) {
        // A writable file in a directory that cannot take another one.
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return writeInPlace(existing.release(), regular, path, content, error);
        error = failure("cannot create", pattern, errno);
        return false;
    }
    existing.reset();
    return writeBeside(guard, tempFd, target, &st, path, content, error);
}

bool appendToFile(const std::string& path, const FileContent& content, uint64_t& offset,
                  std::string& error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        offset = 0;
        return replaceFile(path, content, error);
    }
    // The guard goes before the descriptor closes, so a late signal never
    // meets a stale one.
    PosixFd fd;
    WriteGuard guard;
    fd.reset(open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    const bool regular = S_ISREG(st.st_mode);
    offset = regular ? static_cast<uint64_t>(st.st_size) : 0;
    if (regular)
        guard.guardAppend(fd.get(), st.st_size);
    if (fill(fd.get(), regular, path, content, error))
        return true;
    if (regular && (ftruncate(fd.get(), st.st_size) != 0 || fsync(fd.get()) != 0)) {
    }
    return false;
}
