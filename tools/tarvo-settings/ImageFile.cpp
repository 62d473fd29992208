#include "ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// An exclusive create, so a leftover or someone else's file is never reused.
File createTemporary(const std::string& target, std::string& tempPath)
{
    for (int attempt = 0; attempt < 100; attempt++) {
        tempPath = target + ".tmp" + (attempt ? std::to_string(attempt) : "");
        if (FILE* file = fopen(tempPath.c_str(), "wbx"))
            return File(file);
        if (errno != EEXIST)
            break;
    }
    return nullptr;
}

}  // namespace

bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    File file(fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (ferror(file.get())) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& error)
{
    std::string tempPath;
    File file = createTemporary(path, tempPath);
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
