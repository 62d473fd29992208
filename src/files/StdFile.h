// A standard-library file stream closed when its owner goes.
#pragma once

#include <cstdio>
#include <memory>

struct StdFileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using StdFile = std::unique_ptr<FILE, StdFileCloser>;
