// How a long procedure tells how far it has come, as data: the install, the
// setting area's read and write and the backup procedures all take one
// Progress. tarvo prints it as it always has (PrintedProgress); the station
// and the page show the same steps their own way.
#pragma once

#include <cstdint>
#include <string>

// The steps of the install and the setting transfers; the backup's reads
// name what they read ("firmware", "settings").
namespace phase {
constexpr const char* WRITE = "write";              // erase, then the firmware's blocks
constexpr const char* CHECK = "check";              // the adapter's checksums of what was written
constexpr const char* RESTART = "restart";
constexpr const char* READ_SETTINGS = "read-settings";
constexpr const char* WRITE_SETTINGS = "write-settings";  // erase, blocks, read back
}  // namespace phase

// Each call comes from the thread running the procedure.
class Progress {
public:
    virtual ~Progress() = default;
    // What a person reads, as tarvo prints it: whole lines, or the start of
    // a line that the step's marks and a later text continue.
    virtual void text(const std::string& text) = 0;
    // A step that moves total bytes: started, then done bytes so far (rising
    // to total), then finished, also when it fails.
    virtual void stepStarted(const std::string& step, uint64_t total) = 0;
    virtual void stepProgress(uint64_t done, uint64_t total) = 0;
    virtual void stepFinished() = 0;
    // Asked between blocks; once true it stays true. The procedure then ends
    // at once, with the adapter in a state it names.
    virtual bool stopRequested() { return false; }
};

// tarvo's own output on standard output, flushed as it goes: the text as it
// is, a dot per 16 blocks of the firmware written and per block of the
// setting area written.
class PrintedProgress : public Progress {
public:
    void text(const std::string& text) override;
    void stepStarted(const std::string& step, uint64_t total) override;
    void stepProgress(uint64_t done, uint64_t total) override;
    void stepFinished() override;

private:
    uint64_t _blocksPerDot = 0;  // 0: the step shows no dots
    uint64_t _blocks = 0;        // of the running step, so far
};
