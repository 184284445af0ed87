// The frame format: exact header bytes, every parse status, the limits, and
// frames cut identically however the input is split.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "support/wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint32_t type, std::uint32_t streamId, const std::string& payload) {
    FrameHeader header{};
    EXPECT_TRUE(BuildFrameHeader(type, streamId, static_cast<std::uint32_t>(payload.size()), header));
    Bytes bytes(kFrameHeaderSize + payload.size());
    std::copy(std::begin(header.bytes), std::end(header.bytes), bytes.begin());
    std::copy(payload.begin(), payload.end(), bytes.begin() + kFrameHeaderSize);
    return bytes;
}

Bytes RawHeader(const char magic[4], std::uint16_t version, std::uint16_t type, std::uint32_t streamId,
                std::uint32_t length) {
    Bytes b(magic, magic + 4);
    b.push_back(static_cast<std::uint8_t>(version));
    b.push_back(static_cast<std::uint8_t>(version >> 8));
    b.push_back(static_cast<std::uint8_t>(type));
    b.push_back(static_cast<std::uint8_t>(type >> 8));
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(streamId >> (8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    return b;
}

// Feeds `input` in pieces of the given sizes and collects every frame, as the
// engine does: consume each frame before asking for the next or appending.
std::vector<WireFrame> CutAll(const Bytes& input, const std::vector<std::size_t>& pieces, ParseStatus& last) {
    FrameBuffer buffer;
    std::vector<WireFrame> frames;
    std::size_t at = 0;
    last = ParseStatus::NeedMore;
    for (std::size_t piece : pieces) {
        EXPECT_TRUE(buffer.AppendInput(input.data() + at, piece));
        at += piece;
        FrameView view;
        while ((last = buffer.ParseFrame(view)) == ParseStatus::Ok) {
            frames.push_back(
                {view.type, view.streamId, std::string(reinterpret_cast<const char*>(view.payload), view.length)});
            buffer.ConsumeFrame();
        }
        if (last != ParseStatus::NeedMore) break;
    }
    return frames;
}

}  // namespace

TEST(FrameHeader, HelloAndPongAreTheDocumentedBytes) {
    EXPECT_EQ(Frame(1, 0, ""), (Bytes{0x51, 0x53, 0x46, 0x31, 0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Frame(9, 7, "abc"), (Bytes{0x51, 0x53, 0x46, 0x31, 0x01, 0x00, 0x09, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03,
                                         0x00, 0x00, 0x00, 0x61, 0x62, 0x63}));
    FrameHeader big{};
    ASSERT_TRUE(BuildFrameHeader(5, 0x01020304, 0x100000, big));
    EXPECT_EQ(Bytes(big.bytes + 8, big.bytes + 16), (Bytes{0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x10, 0x00}));
}

TEST(FrameHeader, RefusesBadTypesAndLengthsWithoutWriting) {
    for (auto [type, length] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {0, 0}, {16, 0}, {0x10001, 0}, {5, 1048577}, {5, 0xFFFFFFFF}}) {
        FrameHeader header;
        std::fill(std::begin(header.bytes), std::end(header.bytes), 0xAA);
        EXPECT_FALSE(BuildFrameHeader(type, 1, length, header)) << type << " " << length;
        for (std::uint8_t b : header.bytes) EXPECT_EQ(b, 0xAA);
    }
}

TEST(FrameBuffer, JudgesTheHeaderBeforeThePayloadArrives) {
    struct Case {
        Bytes header;
        ParseStatus status;
    };
    const std::vector<Case> cases = {
        {RawHeader("QSF2", 1, 5, 1, 4), ParseStatus::BadMagic},
        {RawHeader("qsf1", 1, 5, 1, 4), ParseStatus::BadMagic},
        {RawHeader("QSF1", 0, 5, 1, 4), ParseStatus::BadVersion},
        {RawHeader("QSF1", 0x0101, 5, 1, 4), ParseStatus::BadVersion},
        {RawHeader("QSF1", 1, 0, 1, 4), ParseStatus::BadType},
        {RawHeader("QSF1", 1, 16, 1, 4), ParseStatus::BadType},
        {RawHeader("QSF1", 1, 0x0105, 1, 4), ParseStatus::BadType},
        {RawHeader("QSF1", 1, 5, 1, 1048577), ParseStatus::TooLong},
        // The first failing check wins.
        {RawHeader("QSF1", 2, 0, 1, 1048577), ParseStatus::BadVersion},
        {RawHeader("QSF1", 1, 16, 1, 1048577), ParseStatus::BadType},
        {RawHeader("QSF1", 1, 5, 1, 1048576), ParseStatus::NeedMore},
        {RawHeader("QSF1", 1, 15, 1, 4), ParseStatus::NeedMore},
    };
    for (const Case& c : cases) {
        FrameBuffer buffer;
        FrameView view;
        ASSERT_TRUE(buffer.AppendInput(c.header.data(), 15));
        EXPECT_EQ(buffer.ParseFrame(view), ParseStatus::NeedMore);
        ASSERT_TRUE(buffer.AppendInput(c.header.data() + 15, 1));
        EXPECT_EQ(buffer.ParseFrame(view), c.status);
    }
}

TEST(FrameBuffer, AcceptsTheLargestPayloadAndReturnsItInPlace) {
    Bytes frame = RawHeader("QSF1", 1, 5, 9, 1048576);
    frame.resize(kFrameHeaderSize + 1048576, 0x5A);
    FrameBuffer buffer;
    ASSERT_TRUE(buffer.AppendInput(frame.data(), frame.size() - 1));
    FrameView view;
    EXPECT_EQ(buffer.ParseFrame(view), ParseStatus::NeedMore);
    ASSERT_TRUE(buffer.AppendInput(frame.data() + frame.size() - 1, 1));
    ASSERT_EQ(buffer.ParseFrame(view), ParseStatus::Ok);
    EXPECT_EQ(view.type, 5u);
    EXPECT_EQ(view.streamId, 9u);
    EXPECT_EQ(view.length, 1048576u);
    EXPECT_EQ(view.payload[0], 0x5A);
    EXPECT_EQ(view.payload[1048575], 0x5A);
    // A pending frame is returned again, unchecked and unchanged.
    FrameView again;
    ASSERT_EQ(buffer.ParseFrame(again), ParseStatus::Ok);
    EXPECT_EQ(again.payload, view.payload);
    buffer.ConsumeFrame();
    EXPECT_EQ(buffer.PendingBytes(), 0u);
    // An empty payload gives a null pointer.
    const Bytes ping = Frame(8, 0, "");
    ASSERT_TRUE(buffer.AppendInput(ping.data(), ping.size()));
    ASSERT_EQ(buffer.ParseFrame(view), ParseStatus::Ok);
    EXPECT_EQ(view.payload, nullptr);
    EXPECT_EQ(view.length, 0u);
}

TEST(FrameBuffer, HoldsAtMostFourMebibytes) {
    FrameBuffer buffer;
    const Bytes zeros(1048576, 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(buffer.AppendInput(zeros.data(), zeros.size()));
    ASSERT_TRUE(buffer.AppendInput(zeros.data(), 1048575));
    EXPECT_FALSE(buffer.AppendInput(zeros.data(), 2));
    EXPECT_EQ(buffer.PendingBytes(), 4194303u);
    EXPECT_TRUE(buffer.AppendInput(zeros.data(), 1));
    EXPECT_EQ(buffer.PendingBytes(), 4194304u);
    EXPECT_FALSE(buffer.AppendInput(zeros.data(), 1));
    EXPECT_TRUE(buffer.AppendInput(zeros.data(), 0));
    EXPECT_EQ(buffer.Capacity(), 4194304u);
}

TEST(FrameBuffer, EverySplitPointCutsTheSameFrames) {
    const std::vector<WireFrame> expected = {{2, 1, ""}, {5, 1, std::string(40, 'd')}, {8, 0, "xyz"}, {7, 1, ""}};
    Bytes input;
    for (const WireFrame& f : expected) {
        const Bytes b = Frame(f.type, f.streamId, f.payload);
        input.insert(input.end(), b.begin(), b.end());
    }
    for (std::size_t split = 0; split <= input.size(); ++split) {
        for (std::size_t second = split; second <= input.size(); second += 7) {
            ParseStatus last;
            EXPECT_EQ(CutAll(input, {split, second - split, input.size() - second}, last), expected) << split;
            EXPECT_EQ(last, ParseStatus::NeedMore);
        }
    }
}

TEST(FrameBuffer, PendingBytesTellsWhetherInputEndedOnABoundary) {
    const Bytes frame = Frame(8, 1, "abcdef");
    for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
        FrameBuffer buffer;
        ASSERT_TRUE(buffer.AppendInput(frame.data(), cut));
        FrameView view;
        if (buffer.ParseFrame(view) == ParseStatus::Ok) buffer.ConsumeFrame();
        EXPECT_EQ(buffer.PendingBytes() == 0, cut == 0 || cut == frame.size()) << cut;
    }
}

TEST(FrameBuffer, KeepsUnconsumedBytesWhenTheBlockIsReused) {
    // A 16-byte frame consumed, a torn frame after it: the next append fits the
    // block only once that tail is moved to the front, over its own old place.
    std::string payload(3000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 251);
    const Bytes first = Frame(8, 1, "");
    const Bytes second = Frame(5, 2, payload);
    Bytes input = first;
    input.insert(input.end(), second.begin(), second.end());
    FrameBuffer buffer;
    ASSERT_TRUE(buffer.AppendInput(input.data(), 16 + 2000));
    ASSERT_EQ(buffer.Capacity(), 4096u);
    FrameView view;
    ASSERT_EQ(buffer.ParseFrame(view), ParseStatus::Ok);
    buffer.ConsumeFrame();
    ASSERT_TRUE(buffer.AppendInput(input.data() + 2016, input.size() - 2016));
    EXPECT_EQ(buffer.Capacity(), 4096u);
    ASSERT_EQ(buffer.ParseFrame(view), ParseStatus::Ok);
    EXPECT_EQ(view.streamId, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.payload), view.length), payload);
}
