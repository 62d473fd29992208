#include "WebEvents.h"

#include <emscripten.h>

#include <cstdio>

#include "TextEscape.h"

EM_JS(void, web_event, (const char* json), {
    if (Module.onEvent) Module.onEvent(JSON.parse(UTF8ToString(json)));
});

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

WebEvent::WebEvent(const char* event) : _json("{\"event\":" + jsonString(event)) {}

WebEvent& WebEvent::text(const char* name, const std::string& value)
{
    _json += std::string(",") + jsonString(name) + ":" + jsonString(escapeControls(value));
    return *this;
}

WebEvent& WebEvent::lines(const char* name, const std::string& value)
{
    std::string joined;
    for (size_t start = 0; start < value.size();) {
        size_t nl = value.find('\n', start);
        if (nl == std::string::npos)
            nl = value.size();
        const std::string line = jsonString(escapeControls(value.substr(start, nl - start)));
        joined += (start ? "\\n" : "") + line.substr(1, line.size() - 2);
        start = nl + 1;
    }
    _json += std::string(",") + jsonString(name) + ":\"" + joined + "\"";
    return *this;
}

WebEvent& WebEvent::adapterText(const char* name, const std::string& value)
{
    _json += std::string(",") + jsonString(name) + ":" + jsonString(escapeBytes(value));
    return *this;
}

WebEvent& WebEvent::number(const char* name, uint64_t value)
{
    _json += std::string(",") + jsonString(name) + ":" + std::to_string(value);
    return *this;
}

WebEvent& WebEvent::flag(const char* name, bool value)
{
    _json += std::string(",") + jsonString(name) + (value ? ":true" : ":false");
    return *this;
}

void WebEvent::send() const
{
    // The log shows what came before the event first.
    fflush(stdout);
    web_event(json().c_str());
}

void EventProgress::text(const std::string& text)
{
    _printed.text(text);
}

namespace {
// The backup's reads in the log as tarvo-backup prints them off a terminal.
constexpr uint64_t DOT_BYTES = 16384;
bool isRead(const std::string& step)
{
    return step == "firmware" || step == "settings";
}
}  // namespace

void EventProgress::stepStarted(const std::string& step, uint64_t total)
{
    _printed.stepStarted(step, total);
    if (isRead(step)) {
        printf("%s ", step.c_str());
        _dots = 0;
    }
    _step = step;
    _stepTotal = total;
    // A region read again makes the phase longer than planned: the bar's
    // total grows with it rather than passing 100%.
    if (!_phase.empty() && _before + total > _total)
        _total = _before + total;
    _last = UINT64_MAX;
    emit(0, total);
}

void EventProgress::stepProgress(uint64_t done, uint64_t total)
{
    _printed.stepProgress(done, total);
    if (isRead(_step))
        for (; _dots * DOT_BYTES < done; _dots++)
            fputc('.', stdout);
    emit(done, total);
}

void EventProgress::stepFinished()
{
    _printed.stepFinished();
    if (isRead(_step))
        fputc('\n', stdout);
    fflush(stdout);
    if (!_phase.empty())
        _before += _stepTotal;
    _stepTotal = 0;
}

void EventProgress::emit(uint64_t done, uint64_t total)
{
    const bool whole = !_phase.empty();
    const uint64_t at = whole ? _before + done : done;
    // One event per block would be thousands: a new one per 1 KB moved.
    if (_last != UINT64_MAX && at < _last + 1024 && done < total)
        return;
    _last = at;
    WebEvent("progress")
        .text("phase", whole ? _phase : _step)
        .text("step", _step)
        .number("done", at)
        .number("total", whole ? _total : total)
        .send();
}

void sendOutcome(const std::string& kind, const std::string& text)
{
    WebEvent("outcome").text("kind", kind).text("text", text).send();
}
