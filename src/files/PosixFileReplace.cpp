// FileReplace on POSIX: a temporary file beside the target, synced and
// renamed over it, under a guard that removes it if the run is stopped.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/FileFill.h"
#include "files/FileReplace.h"
#include "files/PosixFd.h"
#include "files/PosixFileCalls.h"
#include "files/PosixWriteGuard.h"

PosixFileCalls& posixFileCalls()
{
    static PosixFileCalls calls = {::fsync, ::rename};
    return calls;
}

namespace {

class FdSink : public FileSink {
public:
    FdSink(int fd, const WriteGuard* guard) : _fd(fd), _guard(guard) {}
    bool write(const uint8_t* data, size_t size) override
    {
        while (size > 0 && _errno == 0) {
            // A stopped write goes no further, even where the program's own
            // handler let the run go on.
            if (_guard && _guard->stopped()) {
                _errno = EINTR;
                break;
            }
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
    const WriteGuard* _guard;
    int _errno = 0;
};

std::string failure(const char* what, const std::string& path, int err)
{
    return std::string(what) + " " + path + ": " + strerror(err);
}

// Streams the content into fd and, when asked, syncs it.
bool fill(int fd, const WriteGuard* guard, bool sync, const std::string& path, const FileContent& content,
          std::string& error)
{
    FdSink sink(fd, guard);
    return fillSink(
        sink, content,
        [&] { return sink.failure() ? failure("cannot write", path, sink.failure()) : std::string(); },
        [&] {
            return !sync || posixFileCalls().fsync(fd) == 0 ? std::string()
                                                            : failure("cannot write", path, errno);
        },
        error);
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Names that stand for an open descriptor, not a path: on Linux /proc's
// links (behind /dev/stdout and /dev/fd/N), on macOS the entries of /dev/fd.
bool namesDescriptor(const std::string& dir)
{
    char* real = realpath(dir.c_str(), nullptr);
    if (!real)
        return false;
#if defined(__APPLE__)
    bool descriptor = strcmp(real, "/dev/fd") == 0;
#else
    bool descriptor = strncmp(real, "/proc/", 6) == 0;
#endif
    free(real);
    return descriptor;
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
        std::string dir = directoryOf(name);
#if defined(__APPLE__)
        // /dev/fd/N is no link there but the descriptor's file itself.
        if (namesDescriptor(dir))
            return Resolved::ProcLink;
#endif
        if (!S_ISLNK(st.st_mode))
            return Resolved::File;
#if !defined(__APPLE__)
        if (namesDescriptor(dir))
            return Resolved::ProcLink;
#endif
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
bool writeInPlace(const WriteGuard& guard, PosixFd file, bool regular, const std::string& path,
                  const FileContent& content, std::string& error)
{
    if (regular && ftruncate(file.get(), 0) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    if (!fill(file.get(), &guard, regular, path, content, error))
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

// Gives the new file the old one's owner, group and mode; false when they
// cannot all be had (a group the user is not in, a set-id bit), and the old
// file is then better written in place than changed.
bool takeOver(int tempFd, const struct stat& old)
{
    // Owner first: a change of owner clears the set-id bits.
    if (fchown(tempFd, old.st_uid, old.st_gid) != 0 && fchown(tempFd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    }
    struct stat now;
    return fchmod(tempFd, old.st_mode & 07777) == 0 && fstat(tempFd, &now) == 0 && now.st_uid == old.st_uid &&
           now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777);
}

// Fills the temporary file, renames it over target and syncs the folder.
bool writeBeside(WriteGuard& guard, PosixFd temp, const std::string& target, const std::string& path,
                 const FileContent& content, std::string& error)
{
    if (!fill(temp.get(), &guard, true, path, content, error))
        return false;
    if (::close(temp.release()) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    if (!guard.commit(target)) {
        error = failure("cannot replace", path, errno);
        return false;
    }
    // The rename itself reaches the disk with the directory. Past this point
    // the new content is in place, so a failure here is not reported.
    PosixFd dir(open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid() && posixFileCalls().fsync(dir.get()) != 0) {
    }
    return true;
}

bool createFile(WriteGuard& guard, const std::string& path, const FileContent& content, std::string& error)
{
    // A new file, perhaps where a dangling link points.
    std::string target;
    Resolved resolved = followLinks(path, target);
    if (resolved == Resolved::Error || resolved == Resolved::ProcLink) {
        error = failure("cannot create", path, resolved == Resolved::Error ? errno : ENOENT);
        return false;
    }
    std::string pattern = temporaryPattern(target);
    PosixFd temp(guard.createTemporary(pattern));
    mode_t mask = umask(0);
    umask(mask);
    if (!temp.valid() || fchmod(temp.get(), 0666 & ~mask) != 0) {
        error = failure("cannot create", path, errno);
        return false;
    }
    return writeBeside(guard, std::move(temp), target, path, content, error);
}

}  // namespace

bool replaceFile(const std::string& path, const FileContent& content, std::string& error)
{
    // Also there for in-place writes: a file-size limit fails the write
    // instead of killing the process.
    WriteGuard guard;
    // Write protection holds: the same open a shell's '>' makes, but without
    // truncating, before anything is changed. Every decision below is taken on
    // what this opened, not on a name that may change meanwhile.
    PosixFd existing(open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!existing.valid()) {
        if (errno == ENOENT)
            return createFile(guard, path, content, error);
        error = failure("cannot write", path, errno);
        return false;
    }
    struct stat st;
    if (fstat(existing.get(), &st) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    const bool regular = S_ISREG(st.st_mode);
    // Another user's file stays theirs: a renamed copy would be ours unless we may chown.
    const bool othersFile = st.st_uid != geteuid() && geteuid() != 0;
    if (!regular || st.st_nlink > 1 || othersFile)
        return writeInPlace(guard, std::move(existing), regular, path, content, error);

    std::string target;
    Resolved resolved = followLinks(path, target);
    struct stat reached;
    if (resolved == Resolved::Error) {
        error = failure("cannot write", path, errno);
        return false;
    }
    // Through /proc, or if the links changed meanwhile, only the open file is sure.
    if (resolved != Resolved::File || lstat(target.c_str(), &reached) != 0 || reached.st_dev != st.st_dev ||
        reached.st_ino != st.st_ino)
        return writeInPlace(guard, std::move(existing), regular, path, content, error);

    std::string pattern = temporaryPattern(target);
    PosixFd temp(guard.createTemporary(pattern));
    if (!temp.valid()) {
        // A writable file in a directory that cannot take another one.
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return writeInPlace(guard, std::move(existing), regular, path, content, error);
        error = failure("cannot create", pattern, errno);
        return false;
    }
    if (!takeOver(temp.get(), st)) {
        guard.discard();
        return writeInPlace(guard, std::move(existing), regular, path, content, error);
    }
    existing.reset();
    return writeBeside(guard, std::move(temp), target, path, content, error);
}

bool appendToFile(const std::string& path, const FileContent& content, uint64_t& offset, std::string& error)
{
    PosixFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        offset = 0;
        return replaceFile(path, content, error);
    }
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    const bool regular = S_ISREG(st.st_mode);
    offset = regular ? static_cast<uint64_t>(st.st_size) : 0;
    // Declared after the descriptor, so it is gone before the descriptor
    // closes and a late signal never meets a stale one.
    WriteGuard guard;
    if (regular)
        guard.guardAppend(fd.get(), st.st_size);
    if (!fill(fd.get(), &guard, regular, path, content, error))
        return false;
    if (regular && !guard.finishAppend()) {
        error = failure("cannot write", path, errno);
        return false;
    }
    return true;
}
