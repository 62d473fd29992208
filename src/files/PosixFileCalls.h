// The calls of POSIX file writing whose order and failures matter most: the
// sync of the new content, the rename over the old file, the sync of the
// folder. Tests swap entries to watch or fail them; programs never do.
#pragma once

struct PosixFileCalls {
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
};

// The table PosixFileReplace calls through; it starts as the system's own.
PosixFileCalls& posixFileCalls();
