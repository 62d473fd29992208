// What the module tells the page, as data: one JSON object per event, handed
// to Module.onEvent. Adapter-sent text is escaped before it goes in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Progress.h"

// One JSON object built field by field; text fields are escaped.
class WebEvent {
public:
    explicit WebEvent(const char* event);
    // Host-made text (paths, messages): UTF-8 kept, control bytes escaped.
    WebEvent& text(const char* name, const std::string& value);
    // Host-made lines: as text, each line break kept as one.
    WebEvent& lines(const char* name, const std::string& value);
    // Adapter-sent text: only printable ASCII stays as it is.
    WebEvent& adapterText(const char* name, const std::string& value);
    WebEvent& number(const char* name, uint64_t value);
    WebEvent& flag(const char* name, bool value);
    std::string json() const { return _json + "}"; }
    // Hands it to the page.
    void send() const;

private:
    std::string _json;
};

// A JSON string of text already made safe (printable ASCII or UTF-8).
std::string jsonString(const std::string& text);

// The progress of a procedure as events: every step started, its bytes so
// far, finished; the log (standard output) has the lines and dots as the
// tools print them.
class EventProgress : public Progress {
public:
    // phase, when given, names every step of the procedure (the backup's
    // reads are one "backup" phase) and counts its bytes on from the steps before.
    explicit EventProgress(const std::string& phase = "", uint64_t total = 0)
        : _phase(phase), _total(total) {}
    void text(const std::string& text) override;
    void stepStarted(const std::string& step, uint64_t total) override;
    void stepProgress(uint64_t done, uint64_t total) override;
    void stepFinished() override;

private:
    void emit(uint64_t done, uint64_t total);
    PrintedProgress _printed;  // the log's lines and dots
    uint64_t _dots = 0;
    std::string _phase;
    uint64_t _total;
    std::string _step;
    uint64_t _before = 0;  // bytes of the finished steps of the phase
    uint64_t _stepTotal = 0;
    uint64_t _last = UINT64_MAX;
};

// The one event a run ends with: a kind the page switches on, and the text
// for a person.
void sendOutcome(const std::string& kind, const std::string& text = "");
