// The real program's stream engine under Wine: frames on its standard input
// and output, exit status and the one error line.

#include <gtest/gtest.h>

#include "support/child_process_win32.h"
#include "support/fake_engine.h"
#include "support/frame_reader_win32.h"

namespace {

constexpr std::uint32_t kWaitMs = 20000;

}  // namespace

TEST(EngineE2E, ServiceGreetsAnswersPingAndEndsWithItsInput) {
    ChildProcess child(ProductPath(), {L"service"});
    EXPECT_EQ(child.ReadOutput(16, kWaitMs), kHello);
    ASSERT_TRUE(child.Write(FrameBytes(8, 0, "hello")));
    EXPECT_EQ(ReadFrame(child, kWaitMs), (WireFrame{9, 0, "hello"}));
    // Two frames in one write, and one split over two writes.
    const std::string big = FrameBytes(8, 3, std::string(70000, 'b'));
    ASSERT_TRUE(child.Write(FrameBytes(8, 1, "a") + FrameBytes(8, 2, "bb") + big.substr(0, 100)));
    ASSERT_TRUE(child.Write(big.substr(100)));
    EXPECT_EQ(ReadFrame(child, kWaitMs), (WireFrame{9, 1, "a"}));
    EXPECT_EQ(ReadFrame(child, kWaitMs), (WireFrame{9, 2, "bb"}));
    EXPECT_EQ(ReadFrame(child, kWaitMs), (WireFrame{9, 3, std::string(70000, 'b')}));
    child.CloseInput();
    EXPECT_EQ(child.Wait(kWaitMs), 0u);
    EXPECT_EQ(child.TakeAllOutput(), "");
    EXPECT_EQ(child.Errors(), "");
}

TEST(EngineE2E, TruncatedInputEndsWithStatusOne) {
    ProgramResult r = RunProduct({L"service"}, FrameBytes(8, 7, "abc").substr(0, 10));
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, kHello);
    EXPECT_EQ(r.err, "Truncated input frame.\r\n");

    ProgramResult whole = RunProduct({L"service"}, FrameBytes(8, 7, "abc"));
    EXPECT_EQ(whole.exitCode, 0u);
    EXPECT_EQ(whole.out, kHello + std::string("QSF1\x01\x00\x09\x00\x07\x00\x00\x00\x03\x00\x00\x00" "abc", 19));
    EXPECT_EQ(whole.err, "");
}

TEST(EngineE2E, ProtocolErrorsAreFatalWithTheirMessage) {
    struct Case {
        std::wstring mode;
        std::string input;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {L"service", FrameBytes(2, 1), "Invalid service request."},
             {L"service", FrameBytes(5, 1, "data"), "Invalid service request."},
             {L"service", FrameBytes(6, 1), "Invalid service request."},
             {L"service", FrameBytes(7, 1), "Invalid service request."},
             {L"service", FrameBytes(13, 0, "\\\\.\\pipe\\x"), "Expected a nonzero stream ID."},
             {L"service", std::string("QSF1\x01\x00\x10\x00\x01\x00\x00\x00\x00\x00\x00\x00", 16), "Invalid bridge frame."},
         }) {
        // The Ping after the bad frame must not be answered.
        ProgramResult r = RunProduct({c.mode}, c.input + FrameBytes(8, 1, "after"));
        EXPECT_EQ(r.exitCode, 1u) << c.error;
        EXPECT_EQ(r.out, kHello) << c.error;
        EXPECT_EQ(r.err, c.error + "\r\n");
    }
}
