// Adapter text shown as data: escaped byte for byte, or with the host's own
// UTF-8 kept and everything else escaped.
#include <gtest/gtest.h>

#include <string>

#include "TextEscape.h"

namespace {

TEST(TextEscape, ControlAndHighBytesAreEscapedWholeUtf8KeptOnlyWhereAsked)
{
    struct Row {
        std::string text;
        const char* bytes;     // escapeBytes
        const char* controls;  // escapeControls
    };
    const Row rows[] = {
        {"SN 1234", "SN 1234", "SN 1234"},
        {"a\\b", "a\\\\b", "a\\b"},
        {"a\nb\x1b[2J\x7F", "a\\x0Ab\\x1B[2J\\x7F", "a\\x0Ab\\x1B[2J\\x7F"},
        {"j\xC3\xB6rg", "j\\xC3\\xB6rg", "j\xC3\xB6rg"},
        {"\xE2\x82\xAC\xF0\x9F\x98\x80", "\\xE2\\x82\\xAC\\xF0\\x9F\\x98\\x80",
         "\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Not UTF-8: erased bytes, an overlong form, a surrogate, a cut sequence,
        // a lone continuation byte, beyond U+10FFFF.
        {"\xFF\xFF", "\\xFF\\xFF", "\\xFF\\xFF"},
        {"\xC0\xAF", "\\xC0\\xAF", "\\xC0\\xAF"},
        {"\xED\xA0\x80", "\\xED\\xA0\\x80", "\\xED\\xA0\\x80"},
        {"\xE2\x82", "\\xE2\\x82", "\\xE2\\x82"},
        {"\x80x", "\\x80x", "\\x80x"},
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "\\xF4\\x90\\x80\\x80"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(escapeBytes(row.text), row.bytes);
        EXPECT_EQ(escapeControls(row.text), row.controls);
    }
}

}  // namespace
