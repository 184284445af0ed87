// The pipe-path grammar and canonical identity. Built natively (portable SID
// text) and for Windows (the system's own SID conversions): the same
// expectations must hold for both.

#include <gtest/gtest.h>

#include "pipes/pipe_path.h"
#include "pipes/sid_text.h"
#include "support/error_message.h"

namespace {

const std::string kPrefixMessage = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";
const std::string kAlphabetMessage = "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";
const std::string kPrefix = "\\\\.\\pipe\\";

std::string ErrorOf(const std::string& path) {
    return MessageOf([&] { ValidatePipePath(path); });
}

}  // namespace

// The prefix alone is too short; one name byte makes a path. 110 bytes in all
// is the limit, whatever the bytes.
TEST(ValidatePipePath, EnforcesTheLengthLimits) {
    EXPECT_EQ(ErrorOf(kPrefix), kPrefixMessage);
    EXPECT_EQ(ValidatePipePath(kPrefix + "a"), kPrefix + "a");
    const std::string longest = kPrefix + std::string(101, 'a');
    ASSERT_EQ(longest.size(), 110u);
    EXPECT_EQ(ValidatePipePath(longest), longest);
    EXPECT_EQ(ErrorOf(longest + "a"), kPrefixMessage);
    EXPECT_EQ(ErrorOf(kPrefix + std::string(101, ' ') + " "), kPrefixMessage);  // length before alphabet
    EXPECT_EQ(ErrorOf(""), kPrefixMessage);
    EXPECT_EQ(ErrorOf("\\\\.\\pipe"), kPrefixMessage);
}

// The prefix is recognised in any letter case but only with backslashes.
TEST(ValidatePipePath, AcceptsThePrefixInAnyCaseOnlyWithBackslashes) {
    EXPECT_EQ(ValidatePipePath("\\\\.\\PIPE\\Name"), kPrefix + "name");
    EXPECT_EQ(ValidatePipePath("\\\\.\\PiPe\\x"), kPrefix + "x");
    EXPECT_EQ(ErrorOf("//./pipe/name"), kPrefixMessage);
    EXPECT_EQ(ErrorOf("\\\\.\\pipe/name"), kPrefixMessage);
    EXPECT_EQ(ErrorOf("\\\\?\\pipe\\name"), kPrefixMessage);
    EXPECT_EQ(ErrorOf("name"), kPrefixMessage);
    EXPECT_EQ(ErrorOf(" \\\\.\\pipe\\name"), kPrefixMessage);
}

// Every byte outside letters, digits, dot, hyphen and underscore is refused.
TEST(ValidatePipePath, RefusesEveryByteOutsideTheAlphabet) {
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '-' || c == '_';
        const std::string path = kPrefix + "a" + std::string(1, c) + "b";
        if (allowed) {
            EXPECT_NO_THROW(ValidatePipePath(path)) << byte;
        } else {
            EXPECT_EQ(ErrorOf(path), kAlphabetMessage) << byte;
        }
    }
    EXPECT_EQ(ErrorOf(kPrefix + "J\xC3\xB6rg"), kAlphabetMessage);
}

// Canonical form lowers only ASCII letters, so letter case never matters.
TEST(ValidatePipePath, LowersTheNameAndIsAFixedPoint) {
    EXPECT_EQ(ValidatePipePath("\\\\.\\pipe\\Org.Example_Pipe-2"), kPrefix + "org.example_pipe-2");
    EXPECT_EQ(ValidatePipePath("\\\\.\\PIPE\\ABC"), ValidatePipePath("\\\\.\\pipe\\abc"));
    const std::string canonical = ValidatePipePath("\\\\.\\Pipe\\MiXeD.S-1-5-18");
    EXPECT_EQ(ValidatePipePath(canonical), canonical);
}

// The identity is the last ".s-" suffix when the system writes that SID the
// same way; the dot must leave at least one name byte before it.
TEST(CanonicalPipeSid, TakesTheLastSuffixInStandardFormOnly) {
    EXPECT_EQ(CanonicalPipeSid(kPrefix + ".s-1-5-18"), "");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a.s-1-5-18"), "S-1-5-18");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "A.S-1-5-18"), "S-1-5-18");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "x.s-1-5-18.s-1-5-32-544"), "S-1-5-32-544");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "x.s-1-5-32-544.s-1-5-018"), "");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "app.s-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a.s-1-0-0"), "S-1-0-0");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a.s-1-5-4294967295"), "S-1-5-4294967295");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a.s-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0"), "S-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "plain"), "");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a.s1-5-18"), "");
    EXPECT_EQ(CanonicalPipeSid(kPrefix + "a-s-1-5-18"), "");
}

// Forms the system would parse but never writes have no identity.
TEST(CanonicalPipeSid, RefusesEveryNonStandardSpelling) {
    for (const char* suffix : {
             "a.s-1-05-18",       // leading zero in the authority
             "a.s-01-5-18",       // leading zero in the revision
             "a.s-1-5-018",       // leading zero in a sub-authority
             "a.s-1-5-00",        // "0" written twice
             "a.s-",              // nothing after the hyphen
             "a.s-x",             // no number
             "a.s-1-5",           // no sub-authority
             "a.s-2-5-18",        // unknown revision
             "a.s-1-0x5-18",      // hexadecimal authority where the standard is decimal
             "a.s-1-0x000000000005-18",
             "a.s-1-5-0x10",      // hexadecimal sub-authority
             "a.s-1-5-18-",       // trailing hyphen
             "a.s-1-5-18x",
             "a.s-1-5-4294967296",  // past 32 bits
             "a.s-1-5-99999999999999999999",
             "a.s-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0",  // 16 sub-authorities
         }) {
        EXPECT_EQ(CanonicalPipeSid(kPrefix + suffix), "") << suffix;
    }
}

TEST(CanonicalPipeSid, ThrowsOnlyThePathMessages) {
    EXPECT_EQ(MessageOf([] { CanonicalPipeSid("pipe.s-1-5-18"); }), kPrefixMessage);
    EXPECT_EQ(MessageOf([&] { CanonicalPipeSid(kPrefix + "a b.s-1-5-18"); }), kAlphabetMessage);
}

// The seam parses leniently, as the system does, and writes the standard form.
TEST(StandardSidText, WritesTheStandardFormOfWhatItParses) {
    EXPECT_EQ(StandardSidText(u"S-1-5-18"), std::optional<WideString>(u"S-1-5-18"));
    EXPECT_EQ(StandardSidText(u"S-1-05-018"), std::optional<WideString>(u"S-1-5-18"));
    EXPECT_EQ(StandardSidText(u"S-01-5-32-544"), std::optional<WideString>(u"S-1-5-32-544"));
    EXPECT_EQ(StandardSidText(u"S-"), std::nullopt);
    EXPECT_EQ(StandardSidText(u"S-x"), std::nullopt);
    EXPECT_EQ(StandardSidText(u"S-1-5"), std::nullopt);
    EXPECT_EQ(StandardSidText(u"S-2-5-18"), std::nullopt);
    EXPECT_EQ(StandardSidText(u"S-1-5-18x"), std::nullopt);
    EXPECT_EQ(StandardSidText(u"S-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0"), std::nullopt);
}

TEST(PipeBaseName, IsTheNameBeforeTheLastSidSuffix) {
    EXPECT_EQ(PipeBaseName(kPrefix + "x.s-1-5-18.s-1-5-32-544"), "x.s-1-5-18");
    EXPECT_EQ(PipeBaseName(kPrefix + "app.s-1-5-18"), "app");
    EXPECT_EQ(PipeBaseName(kPrefix + "plain"), "plain");
    EXPECT_EQ(PipeBaseName(kPrefix + ".s-1-5-18"), ".s-1-5-18");
}

// The product pipe is lower case throughout and named for the user.
TEST(ProductPipeNameFor, PutsTheProductPrefixBeforeTheSid) {
    ASSERT_EQ(kProductPipePrefix.size(), 35u);
    const std::string name = ProductPipeNameFor("S-1-5-21-1-2-3-1001");
    EXPECT_EQ(name, kPrefix + "org.quorltholm.quorltholm.s-1-5-21-1-2-3-1001");
    EXPECT_EQ(CanonicalPipeSid(name), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(ProductPipeNameFor("S-1-" + std::string(71, '1')).size(), 110u);
    EXPECT_EQ(MessageOf([] { ProductPipeNameFor("S-1-" + std::string(72, '1')); }), kPrefixMessage);
}
