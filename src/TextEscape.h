// Text an adapter sent (serial number, version text) is data, not output:
// what a terminal, a log line or a JSON reader is given of it.
#pragma once

#include <cstddef>
#include <string>

// Printable ASCII as it is; a backslash as \\ and every other byte (control
// bytes, bytes >= 0x80) as \xNN, so the text stays on one line and shows
// what was stored.
std::string escapeBytes(const std::string& text);

// As escapeBytes, but whole UTF-8 sequences are kept (paths and messages
// the host made); a backslash is kept too.
std::string escapeControls(const std::string& text);

// The length of the well-formed UTF-8 sequence of two to four bytes at
// text[i], or 0 when there is none.
size_t utf8SequenceAt(const std::string& text, size_t i);
