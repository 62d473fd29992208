#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "files/FolderSwap.h"
#include "files/PosixFd.h"

int exchangeFolders(const std::string& a, const std::string& b)
{
#if defined(__linux__) && defined(SYS_renameat2)
    // Called directly: older C libraries have no wrapper for it.
    constexpr unsigned EXCHANGE = 1 << 1;  // RENAME_EXCHANGE
    if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), EXCHANGE) == 0)
        return 0;
    return errno;
#elif defined(__APPLE__)
    if (renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0)
        return 0;
    return errno;
#else
    (void)a;
    (void)b;
    return ENOSYS;
#endif
}

bool syncFolder(const std::string& path)
{
    PosixFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && fsync(dir.get()) == 0;
}
