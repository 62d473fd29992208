#include "files/FileRead.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/StdFile.h"

bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    StdFile file(fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t chunk[4096];
    size_t n;
    errno = 0;
    while ((n = fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    // A read that stopped on an error (a directory, a failing disk) is not a
    // shorter file.
    if (ferror(file.get())) {
        const int err = errno ? errno : EIO;
        bytes.clear();
        error = "cannot read " + path + ": " + strerror(err);
        return false;
    }
    return true;
}
