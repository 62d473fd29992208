#include "TextEscape.h"

#include <cstdio>

namespace {

void appendHex(std::string& out, unsigned char c)
{
    char esc[8];
    snprintf(esc, sizeof(esc), "\\x%02X", c);
    out += esc;
}

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

size_t utf8SequenceAt(const std::string& text, size_t i)
{
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > text.size() || at(i + 1) < lo || at(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < len; k++)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return len;
}

std::string escapeBytes(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (printable(c))
            out += static_cast<char>(c);
        else
            appendHex(out, c);
    }
    return out;
}

std::string escapeControls(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (printable(c)) {
            out += static_cast<char>(c);
            i++;
        } else if (size_t len = c >= 0x80 ? utf8SequenceAt(text, i) : 0) {
            out.append(text, i, len);
            i += len;
        } else {
            appendHex(out, c);
            i++;
        }
    }
    return out;
}
