#include "FileReplace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "StdFile.h"

namespace {

// An exclusive create, so a leftover or someone else's file is never reused.
StdFile createTemporary(const std::string& target, std::string& tempPath)
{
    for (int attempt = 0; attempt < 100; attempt++) {
        tempPath = target + ".tmp" + (attempt ? std::to_string(attempt) : "");
        if (FILE* file = fopen(tempPath.c_str(), "wbx"))
            return StdFile(file);
        if (errno != EEXIST)
            break;
    }
    return nullptr;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error)
{
    std::string tempPath;
    StdFile file = createTemporary(path, tempPath);
    if (!file) {
        error = "cannot create " + tempPath + ": " + strerror(errno);
        return false;
    }

    bool written = fwrite(data, 1, size, file.get()) == size && fflush(file.get()) == 0;
    int writeErrno = errno;
    bool closed = fclose(file.release()) == 0;
    if (!written || !closed) {
        error = "cannot write " + tempPath + ": " + strerror(written ? errno : writeErrno);
        remove(tempPath.c_str());
        return false;
    }

    std::error_code ec;
    std::filesystem::rename(tempPath, path, ec);
    if (ec) {
        error = "cannot replace " + path + ": " + ec.message();
        remove(tempPath.c_str());
        return false;
    }
    return true;
}
