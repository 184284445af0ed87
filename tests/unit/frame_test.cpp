// The frame format's rules: every parse status and the limits. Frames cut
// however the input is split, and the buffer's reuse of its block, are the fuzz
// target's (fuzz/frame_buffer_fuzz.cpp), whose corpus every native ctest replays.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

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

}  // namespace

TEST(FrameBuffer, JudgesTheHeaderBeforeThePayloadArrives) {
    struct Case {
        Bytes header;
        ParseStatus status;
    };
    const std::vector<Case> cases = {
        {RawHeader("QSF2", 1, 5, 1, 4), ParseStatus::BadMagic},
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
    ASSERT_TRUE(buffer.AppendInput(frame.data(), frame.size()));
    FrameView view;
    ASSERT_EQ(buffer.ParseFrame(view), ParseStatus::Ok);
    EXPECT_EQ(view.length, 1048576u);
    EXPECT_EQ(view.payload[1048575], 0x5A);
}

TEST(FrameBuffer, HoldsAtMostFourMebibytes) {
    FrameBuffer buffer;
    const Bytes zeros(1048576, 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(buffer.AppendInput(zeros.data(), zeros.size()));
    ASSERT_TRUE(buffer.AppendInput(zeros.data(), 1048575));
    EXPECT_FALSE(buffer.AppendInput(zeros.data(), 2));
    EXPECT_TRUE(buffer.AppendInput(zeros.data(), 1));
    EXPECT_EQ(buffer.PendingBytes(), 4194304u);
    EXPECT_EQ(buffer.Capacity(), 4194304u);
}
