// The whole-file reader takes only a read that reached the end for a file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "files/FileRead.h"
#include "PackageBuilder.h"

namespace {

TEST(FileRead, ReadsAWholeFileAndRefusesWhatCannotBeRead)
{
    TempDir dir;
    const Bytes content = patternBytes(10000, 5);
    writeFile(dir.path("f"), content);
    writeFile(dir.path("empty"), {});
    struct Case {
        std::string path;
        std::string error;  // "" when it reads
        Bytes bytes;
    } cases[] = {
        {dir.path("f"), "", content},
        {dir.path("empty"), "", {}},
        {dir.path(""), "cannot read " + dir.path("") + ": " + strerror(EISDIR), {}},
        // Reading memory that is not mapped fails with an I/O error at once.
        {"/proc/self/mem", std::string("cannot read /proc/self/mem: ") + strerror(EIO), {}},
        {dir.path("missing"), "cannot open " + dir.path("missing") + ": " + strerror(ENOENT), {}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = {1, 2, 3};
        std::string error;
        EXPECT_EQ(readFileBytes(c.path, bytes, error), c.error.empty()) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        if (c.error.empty()) {
            EXPECT_EQ(bytes, c.bytes) << c.path;
        }
    }
}

}  // namespace
