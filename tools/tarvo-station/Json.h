// One flat JSON object a line: what a worker tells the station, and what
// --json prints. Values are strings or numbers; keys keep their order.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class JsonLine {
public:
    JsonLine& set(const std::string& key, const std::string& value);
    JsonLine& set(const std::string& key, const char* value) { return set(key, std::string(value)); }
    JsonLine& set(const std::string& key, int64_t value);
    JsonLine& set(const std::string& key, double value);
    // The value, or null when it is empty (not known, or not there).
    JsonLine& setOrNull(const std::string& key, const std::string& value);
    // The object on one line, without the line break.
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> _fields;  // key, encoded value
};

// A parsed line: every value as text (numbers as written).
using JsonFields = std::map<std::string, std::string>;

// Parses one flat object of strings and numbers; false on anything else.
bool parseJsonLine(const std::string& line, JsonFields& fields);

std::string jsonQuote(const std::string& text);
