#include "Json.h"

#include <cstdio>

#include "HexDigit.h"
#include "TextEscape.h"

std::string jsonQuote(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // Whole UTF-8 sequences stay; any other byte from 0x80 up is one
        // \u00XX, so the line is valid UTF-8 whatever an adapter stores and
        // parseJsonLine gives back the very bytes.
        if (c >= 0x80) {
            if (size_t len = utf8SequenceAt(text, i)) {
                out.append(text, i, len);
                i += len - 1;
                continue;
            }
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char esc[8];
                snprintf(esc, sizeof(esc), "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

JsonLine& JsonLine::set(const std::string& key, const std::string& value)
{
    for (auto& f : _fields)
        if (f.first == key) {
            f.second = jsonQuote(value);
            return *this;
        }
    _fields.emplace_back(key, jsonQuote(value));
    return *this;
}

JsonLine& JsonLine::setOrNull(const std::string& key, const std::string& value)
{
    if (!value.empty())
        return set(key, value);
    _fields.emplace_back(key, "null");
    return *this;
}

JsonLine& JsonLine::set(const std::string& key, int64_t value)
{
    _fields.emplace_back(key, std::to_string(value));
    return *this;
}

JsonLine& JsonLine::set(const std::string& key, double value)
{
    char text[32];
    snprintf(text, sizeof(text), "%.3f", value);
    _fields.emplace_back(key, text);
    return *this;
}

std::string JsonLine::text() const
{
    std::string out = "{";
    for (size_t i = 0; i < _fields.size(); i++) {
        if (i)
            out += ",";
        out += jsonQuote(_fields[i].first) + ":" + _fields[i].second;
    }
    return out + "}";
}

namespace {

void skipSpace(const std::string& s, size_t& i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        i++;
}

bool parseString(const std::string& s, size_t& i, std::string& out)
{
    if (i >= s.size() || s[i] != '"')
        return false;
    i++;
    out.clear();
    while (i < s.size() && s[i] != '"') {
        char c = s[i++];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i >= s.size())
            return false;
        char e = s[i++];
        switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            if (i + 4 > s.size())
                return false;
            int v = 0;
            for (int k = 0; k < 4; k++) {
                int h = hexDigitValue(s[i++]);
                if (h < 0)
                    return false;
                v = v * 16 + h;
            }
            // Up to 0xFF: the byte jsonQuote escaped; above, the character
            // in UTF-8 (surrogate pairs are not written here, so not read).
            if (v < 0x100) {
                out += static_cast<char>(v);
            } else if (v < 0x800) {
                out += static_cast<char>(0xC0 | (v >> 6));
                out += static_cast<char>(0x80 | (v & 0x3F));
            } else if (v < 0xD800 || v > 0xDFFF) {
                out += static_cast<char>(0xE0 | (v >> 12));
                out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (v & 0x3F));
            } else {
                return false;
            }
            break;
        }
        default:
            return false;
        }
    }
    if (i >= s.size())
        return false;
    i++;
    return true;
}

bool parseNumber(const std::string& s, size_t& i, std::string& out)
{
    size_t start = i;
    if (i < s.size() && s[i] == '-')
        i++;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == 'e' ||
                            s[i] == 'E' || s[i] == '+' || s[i] == '-'))
        i++;
    out = s.substr(start, i - start);
    return !out.empty() && out != "-";
}

}  // namespace

bool parseJsonLine(const std::string& line, JsonFields& fields)
{
    fields.clear();
    size_t i = 0;
    skipSpace(line, i);
    if (i >= line.size() || line[i] != '{')
        return false;
    i++;
    skipSpace(line, i);
    if (i < line.size() && line[i] == '}') {
        i++;
    } else {
        for (;;) {
            std::string key, value;
            skipSpace(line, i);
            if (!parseString(line, i, key))
                return false;
            skipSpace(line, i);
            if (i >= line.size() || line[i++] != ':')
                return false;
            skipSpace(line, i);
            if (i < line.size() && line[i] == '"') {
                if (!parseString(line, i, value))
                    return false;
            } else if (line.compare(i, 4, "null") == 0) {
                i += 4;  // not there: read as empty
                value.clear();
            } else if (!parseNumber(line, i, value)) {
                return false;
            }
            fields[key] = value;
            skipSpace(line, i);
            if (i < line.size() && line[i] == ',') {
                i++;
                continue;
            }
            if (i < line.size() && line[i] == '}') {
                i++;
                break;
            }
            return false;
        }
    }
    skipSpace(line, i);
    return i == line.size();
}
