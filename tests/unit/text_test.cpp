// The text helpers. Built natively and for Windows: the same expectations hold
// for the portable conversions and for MultiByteToWideChar/WideCharToMultiByte.

#include <gtest/gtest.h>

#include "support/error_message.h"
#include "text/encoding.h"
#include "text/error_text.h"
#include "text/program_error.h"

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

// Conversions round-trip every length of sequence and keep embedded NULs.
TEST(Utf8ToWide, ConvertsEveryLengthOfSequenceBothWays) {
    const std::pair<std::string, WideString> cases[] = {
        {"", u""},
        {"\xDF\xBF", u"\u07FF"},      // the last two-byte lead
        {"\xE0\xA0\x80", u"\u0800"},  // the first three-byte lead
        // The first four-byte lead, then a unit above the surrogates after the pair.
        {"\xF0\x9F\x98\x80\xEF\xBF\xBD", u"\U0001F600\uFFFD"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {std::string("a\0b", 3), WideString(u"a\0b", 3)},
    };
    for (const auto& [utf8, wide] : cases) {
        EXPECT_EQ(Utf8ToWide(utf8), wide);
        EXPECT_EQ(WideToUtf8(wide), utf8);
    }
}

TEST(Utf8ToWide, RefusesMalformedInput) {
    for (const std::string& bad : {
             Bytes({0x80}),                    // stray continuation byte
             Bytes({0xED, 0xA0, 0x80}),        // encoded surrogate
             Bytes({0xC0, 0xAF}),              // overlong '/'
             Bytes({0xE0, 0x80, 0xAF}),        // overlong, three bytes
             Bytes({0xE2, 0x82}),              // truncated sequence
             Bytes({0xF4, 0x90, 0x80, 0x80}),  // past U+10FFFF
             Bytes({0xFF}),
         }) {
        EXPECT_EQ(MessageOf([&] { Utf8ToWide(bad); }), "Invalid UTF-8 text.") << testing::PrintToString(bad);
    }
}

TEST(WideToUtf8, RefusesUnpairedSurrogates) {
    for (const WideString& bad :
         {WideString(1, char16_t(0xD800)), WideString(1, char16_t(0xDC00)), WideString{char16_t(0xD800), u'a'}}) {
        EXPECT_EQ(MessageOf([&] { WideToUtf8(bad); }), "Invalid Unicode text.");
    }
}

TEST(ErrorText, WritesWindowsErrorsInDecimalAndHresultsInLowerHex) {
    EXPECT_EQ(WindowsErrorSuffix(0xFFFFFFFFu), " (Windows error 4294967295).");
    EXPECT_EQ(HresultSuffix(0x8007000Eu), " (HRESULT 0x8007000e).");
    EXPECT_EQ(HresultSuffix(1), " (HRESULT 0x1).");
}
