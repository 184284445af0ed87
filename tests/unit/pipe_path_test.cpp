// The pipe-path grammar and canonical identity. Built natively (portable SID
// text) and for Windows (the system's own SID conversions): the same
// expectations must hold for both.

#include <gtest/gtest.h>

#include "pipes/pipe_path.h"
#include "support/error_message.h"

namespace {

const std::string kPrefixMessage = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";
const std::string kAlphabetMessage = "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";
const std::string kPrefix = "\\\\.\\pipe\\";

// The canonical path, or the message it is refused with.
std::string Outcome(const std::string& path) {
    try {
        return ValidatePipePath(path);
    } catch (const std::exception& error) {
        return error.what();
    }
}

}  // namespace

// The prefix in any letter case but only with backslashes; one to 101 name
// bytes (110 in all, checked before the alphabet); only ASCII letters lowered.
TEST(ValidatePipePath, CanonicalisesOrRefuses) {
    const std::string longest = kPrefix + std::string(101, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {kPrefix, kPrefixMessage},
        {kPrefix + "a", kPrefix + "a"},
        {longest, longest},
        {longest + "a", kPrefixMessage},
        {kPrefix + std::string(102, ' '), kPrefixMessage},
        {"\\\\.\\pipe", kPrefixMessage},
        {"\\\\.\\PiPe\\Org.Example_Pipe-2AZ", kPrefix + "org.example_pipe-2az"},
        {"//./pipe/name", kPrefixMessage},
        {" \\\\.\\pipe\\name", kPrefixMessage},
    };
    for (const auto& [path, outcome] : cases) EXPECT_EQ(Outcome(path), outcome) << path;
}

TEST(ValidatePipePath, RefusesEveryByteOutsideTheAlphabet) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const std::string path = kPrefix + "a" + std::string(1, c) + "b";
        EXPECT_EQ(Outcome(path) == kAlphabetMessage, alphabet.find(c) == std::string::npos) << byte;
    }
}

// The identity is the last ".s-" suffix when the system writes that SID the
// same way (forms it would parse but never writes have none); the dot must
// leave at least one name byte before it.
TEST(CanonicalPipeSid, TakesTheLastSuffixInStandardFormOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.s-1-5-18", "S-1-5-18"},
        {"x.s-1-5-18.s-1-5-32-544", "S-1-5-32-544"},
        {"a.s-1-0-0", "S-1-0-0"},
        {"a.s-1-5-4294967295", "S-1-5-4294967295"},
        {"a.s-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0", "S-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0"},
        {".s-1-5-18", ""},
        {"x.s-1-5-32-544.s-1-5-018", ""},
        {"plain", ""},
        {"a.s1-5-18", ""},
        {"a-s-1-5-18", ""},
        {"a.s-1-05-18", ""},
        {"a.s-1-5-00", ""},
        {"a.s-", ""},
        {"a.s-1-5", ""},
        {"a.s-2-5-18", ""},
        {"a.s-1-0x5-18", ""},
        {"a.s-1-5-18-", ""},
        {"a.s-1-5-4294967296", ""},
        {"a.s-1-5-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0-0", ""},
    };
    for (const auto& [name, sid] : cases) EXPECT_EQ(CanonicalPipeSid(kPrefix + name), sid) << name;
    EXPECT_EQ(MessageOf([] { CanonicalPipeSid("pipe.s-1-5-18"); }), kPrefixMessage);
    EXPECT_EQ(MessageOf([&] { CanonicalPipeSid(kPrefix + "a b.s-1-5-18"); }), kAlphabetMessage);
}

// The product pipe is within the path limit for the longest SID text that
// fits (its name is the transcript case "the product pipe when it is listed").
TEST(ProductPipeNameFor, PutsTheProductPrefixBeforeTheSid) {
    EXPECT_EQ(ProductPipeNameFor("S-1-" + std::string(71, '1')).size(), 110u);
    EXPECT_EQ(MessageOf([] { ProductPipeNameFor("S-1-" + std::string(72, '1')); }), kPrefixMessage);
}
