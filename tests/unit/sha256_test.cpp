// The test SHA-256 against the FIPS 180-2 example messages, and the same digest
// however the input is split.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/sha256.h"

namespace {

std::string HashOf(const std::string& bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return DigestHex(hash.Final());
}

}  // namespace

TEST(Sha256, MatchesTheStandardExamples) {
    EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HashOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, GivesOneDigestHoweverTheBytesAreSplitAndMayGoOnAfterFinal) {
    std::string bytes(1000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 13);
    const std::string whole = HashOf(bytes);
    for (std::size_t step : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            hash.Update(bytes.data() + at, std::min(step, bytes.size() - at));
            // Final in between must not disturb the running state.
            if (at == step * 3) {
                EXPECT_EQ(DigestHex(hash.Final()), HashOf(bytes.substr(0, at + step))) << step;
            }
        }
        EXPECT_EQ(DigestHex(hash.Final()), whole) << step;
        EXPECT_EQ(hash.Size(), bytes.size());
    }
}
