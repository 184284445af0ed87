// The one filter between the host's text and the user's terminal.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "terminal_text.h"

namespace {

TEST(ForTerminal, EscapesControlsAndInvalidBytesAndKeepsPrintableUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Users\\J\xc3\xb6rg\tis \xe2\x82\xac 5 \xf0\x9f\x94\x91",
         "C:\\Users\\J\xc3\xb6rg\tis \xe2\x82\xac 5 \xf0\x9f\x94\x91"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {std::string("a\r\nb\0c\x7f", 7), "a\\x0d\\x0ab\\x00c\\x7f"},
        // C1 controls (CSI as U+009B), then U+00A0, the first code point past them.
        {"\xc2\x9b"
         "2J\xc2\x85\xc2\xa0",
         "\\xc2\\x9b2J\\xc2\\x85\xc2\xa0"},
        // U+0800, the first of three bytes, beside the overlong form just below it.
        {"\xe0\xa0\x80 \xe0\x9f\xbf", "\xe0\xa0\x80 \\xe0\\x9f\\xbf"},
        // A lone continuation, an overlong '/', a surrogate, past U+10FFFF, cut short.
        {"\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
         "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
    };
    for (const auto& [bytes, shown] : cases) EXPECT_EQ(ForTerminal(bytes), shown);
}

}  // namespace
