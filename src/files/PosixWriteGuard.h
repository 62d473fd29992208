// The POSIX write guard: for the length of one write, a stop signal undoes
// what the write has changed (removes its temporary file, cuts an appended
// file back) before it takes its usual effect. Writes may nest.
#pragma once

#include <limits.h>
#include <signal.h>
#include <sys/types.h>

#include <string>

class WriteGuard {
public:
    // The first live guard installs the handlers of SIGINT, SIGTERM and SIGHUP
    // and ignores SIGXFSZ (write() then fails with EFBIG); the last one gone
    // restores what was there.
    WriteGuard();
    // Undoes whatever was not committed: the temporary file is removed, an
    // appended file cut back and synced. So does a thrown exception.
    ~WriteGuard();
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

    // Creates the temporary file (close-on-exec) from the mkstemp pattern; it
    // is the guard's to remove from the moment it exists.
    int createTemporary(std::string& pattern);
    // Renames the temporary file over target; removes it when that fails or a
    // stop signal came (errno EINTR).
    bool commit(const std::string& target);
    // Removes the temporary file now.
    void discard();

    // fd, open for appending, is cut back to length unless finishAppend runs.
    void guardAppend(int fd, off_t length);
    // The appended content stays; false (errno EINTR) when a stop signal came.
    bool finishAppend();

    // A stop signal came: the write must not go on, whatever the program's
    // own handler then did.
    bool stopped() const { return _stopped != 0; }

    // From the signal handler: undoes every live guard's write.
    static void undoAll();

private:
    WriteGuard* _next = nullptr;
    char _tempName[PATH_MAX] = {};
    volatile sig_atomic_t _haveTemp = 0;
    volatile sig_atomic_t _appendFd = -1;
    off_t _appendLength = 0;
    volatile sig_atomic_t _stopped = 0;
};
