// Adapter text escaped byte for byte, or with the host's own UTF-8 kept.
#include <gtest/gtest.h>

#include "TextEscape.h"

TEST(TextEscape, ControlAndHighBytesAreEscapedWholeUtf8KeptOnlyWhereAsked)
{
    // text, escapeBytes, escapeControls; the last four are not UTF-8 (an
    // overlong form, a surrogate, a cut sequence, beyond U+10FFFF).
    const char* const rows[][3] = {
        {"a\\b\n\x7F", "a\\\\b\\x0A\\x7F", "a\\b\\x0A\\x7F"},
        {"j\xC3\xB6 \xF0\x9F\x98\x80", "j\\xC3\\xB6 \\xF0\\x9F\\x98\\x80", "j\xC3\xB6 \xF0\x9F\x98\x80"},
        {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80", "\\xC0\\xAF\\xED\\xA0\\x80"},
        {"\xE2\x82.\xF4\x90\x80\x80", "\\xE2\\x82.\\xF4\\x90\\x80\\x80", "\\xE2\\x82.\\xF4\\x90\\x80\\x80"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(escapeBytes(row[0]), row[1]);
        EXPECT_EQ(escapeControls(row[0]), row[2]);
    }
}
