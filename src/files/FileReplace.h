// The one way any program writes a user's file: an earlier file is never lost
// or damaged by a failed or interrupted write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Where a file's new content goes while it is being written.
class FileSink {
public:
    virtual ~FileSink() = default;
    // False once a write failed; the write then fails with the system's reason.
    virtual bool write(const uint8_t* data, size_t size) = 0;
};

// Streams the content into the sink. False abandons the write: error says why,
// unless it was the sink that failed.
using FileContent = std::function<bool(FileSink& sink, std::string& error)>;

// Replaces the file at path with the content.
// - A regular file (reached through any chain of symbolic links, the links
//   kept) gets the content in a new file beside it, synced to disk, given the
//   old file's mode, owner and group, then renamed over it, and the folder is
//   synced. On any failure (an exception from the content included), and on
//   SIGINT/SIGTERM/SIGHUP/SIGXFSZ meanwhile, the new file is removed and the
//   old one is as it was. A stop signal then takes its usual effect; where the
//   program's own handler lets the run go on, the write fails.
// - A file the process may not open for writing is refused before anything
//   else happens, and so are directories and sockets.
// - Devices, FIFOs, files with more than one hard link, another user's file,
//   a file whose group or mode a new file could not have, and files in a
//   directory that cannot take another file are written in place: the one
//   case where a failure can leave part of the new content.
// The content may itself write other files. On failure error names the file
// and the system's reason. Not for use from two threads at once.
bool replaceFile(const std::string& path, const FileContent& content, std::string& error);

// replaceFile with content already in memory.
bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error);

// Adds the content after the end of the file at path, or creates it as
// replaceFile does when there is none. offset is where the content starts. An
// existing regular file is synced, and cut back to its old length when the
// write fails, throws or is stopped (SIGINT/SIGTERM/SIGHUP, Ctrl+C).
bool appendToFile(const std::string& path, const FileContent& content, uint64_t& offset,
                  std::string& error);
