// The Windows file writing under Wine, on its real file system: what a
// failed, thrown or stopped write leaves. Ctrl+C is what the console handler
// does, called from inside the write. Prints one line a check; exits 1 when
// one fails. Usage: file-write-check.exe FOLDER (an empty folder).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/FileReplace.h"
#include "files/WinWriteGuard.h"

namespace fs = std::filesystem;

namespace {

int g_failures = 0;

void check(bool ok, const char* what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    g_failures += !ok;
}

std::string contentOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Nothing but the given names in the folder: no temporary file left.
bool holdsOnly(const fs::path& folder, std::vector<std::string> names)
{
    size_t found = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        bool known = false;
        for (const std::string& name : names)
            known = known || entry.path().filename() == name;
        if (!known)
            return false;
        found++;
    }
    return found == names.size();
}

bool writeText(FileSink& sink, const std::string& text)
{
    return sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: file-write-check FOLDER\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const fs::path file = dir / "file.txt", other = dir / "other.txt";
    const std::string OLD = "old content\n";
    std::string error;
    uint64_t offset = 0;

    put(file, OLD);
    bool ok = appendToFile(file.string(), [](FileSink& sink, std::string&) {
        writeText(sink, "first half ");
        WinWriteGuard::undoAll();  // Ctrl+C
        return writeText(sink, "second half\n");
    }, offset, error);
    check(!ok && contentOf(file) == OLD && offset == OLD.size(),
          "an append stopped by Ctrl+C is cut back to the old end");

    bool threw = false;
    try {
        appendToFile(file.string(), [](FileSink& sink, std::string&) -> bool {
            writeText(sink, "part ");
            throw std::runtime_error("content failed");
        }, offset, error);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    check(threw && contentOf(file) == OLD, "an append whose content throws is cut back");

    ok = appendToFile(file.string(), [](FileSink& sink, std::string&) {
        return writeText(sink, "more\n");
    }, offset, error);
    check(ok && contentOf(file) == OLD + "more\n", "an append after them adds to the old end");
    put(file, OLD);

    ok = replaceFile(file.string(), [](FileSink& sink, std::string&) {
        writeText(sink, "new ");
        WinWriteGuard::undoAll();
        return writeText(sink, "content\n");
    }, error);
    check(!ok && contentOf(file) == OLD && holdsOnly(dir, {"file.txt"}),
          "a replace stopped by Ctrl+C leaves the old file and no temporary one");

    threw = false;
    try {
        replaceFile(file.string(), [](FileSink& sink, std::string&) -> bool {
            writeText(sink, "new ");
            throw std::runtime_error("content failed");
        }, error);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    check(threw && contentOf(file) == OLD && holdsOnly(dir, {"file.txt"}),
          "a replace whose content throws leaves the old file and no temporary one");

    // A write inside another's content, and a stop in the inner one: both undone.
    put(other, OLD);
    ok = replaceFile(file.string(), [&](FileSink& sink, std::string&) {
        std::string inner;
        replaceFile(other.string(), [](FileSink& s, std::string&) {
            writeText(s, "inner ");
            WinWriteGuard::undoAll();
            return writeText(s, "more");
        }, inner);
        return writeText(sink, "outer");
    }, error);
    check(!ok && contentOf(file) == OLD && contentOf(other) == OLD &&
              holdsOnly(dir, {"file.txt", "other.txt"}),
          "a stop within nested writes undoes both");

    ok = replaceFile(file.string(), [&](FileSink& sink, std::string&) {
        std::string inner;
        return writeFileAtomically(other.string(), reinterpret_cast<const uint8_t*>("B"), 1,
                                   inner) &&
               writeText(sink, "A");
    }, error);
    check(ok && contentOf(file) == "A" && contentOf(other) == "B" &&
              holdsOnly(dir, {"file.txt", "other.txt"}),
          "nested writes that succeed both land");

    printf("%s\n", g_failures ? "file-write-check: FAILED" : "file-write-check: all passed");
    return g_failures ? 1 : 0;
}
