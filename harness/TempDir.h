// A directory of its own under the system's temporary folder, removed with
// everything in it when this goes.
#pragma once

#include <string>

class TempDir {
public:
    // Throws std::runtime_error when no directory can be made.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string path(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};
