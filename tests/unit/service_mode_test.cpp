// Service mode through the in-memory operating system: watches reported once
// per change, allowlist queries, limits and the mapping of pipe waits.

#include <gtest/gtest.h>

#include "engine/service_mode.h"
#include "support/fake_engine.h"

namespace {

const std::string kPipeA = "\\\\.\\pipe\\watched.a";
const std::string kPipeB = "\\\\.\\pipe\\watched.b";

WireFrame Reply(std::uint32_t id, const std::string& text = std::string()) { return {12, id, text}; }
WireFrame State(std::uint32_t id, PipeState s) { return {10, id, std::string(1, static_cast<char>(s))}; }

}  // namespace

TEST(PipeStateFromWait, MapsEveryDocumentedResult) {
    for (std::uint32_t available : {0u, 121u, 231u}) EXPECT_EQ(PipeStateFromWait(available), PipeState::Available);
    for (std::uint32_t absent : {2u, 3u}) EXPECT_EQ(PipeStateFromWait(absent), PipeState::Absent);
    for (std::uint32_t other : {1u, 5u, 232u, 0xFFFFFFFFu}) {
        EXPECT_EQ(PipeStateFromWait(other), PipeState::Undetermined) << other;
    }
}

// A watch is reported once per change of state; an allowlist that cannot be
// read makes it undetermined (one the pipe leaves is a transcript case).
TEST(ServiceMode, AWatchIsAcceptedThenReportedOncePerChange) {
    FakeEngine engine;
    engine.List(kPipeA);
    engine.SetPipe(kPipeA, 0);
    engine.Start(EngineMode::Service);
    // Any letter case is accepted; the canonical path is what is polled.
    engine.in.Push(FrameBytes(13, 5, "\\\\.\\PIPE\\Watched.A"));
    ASSERT_TRUE(engine.WaitForFrames(3));
    engine.SetPipe(kPipeA, 231);  // busy is still there: no report
    engine.SetPipe(kPipeA, 2);
    ASSERT_TRUE(engine.WaitForFrames(4));
    engine.SetPipe(kPipeA, 5);
    ASSERT_TRUE(engine.WaitForFrames(5));
    engine.SetPipe(kPipeA, 0);
    ASSERT_TRUE(engine.WaitForFrames(6));
    engine.FailAllowlist("The allowlist file is not trusted.");
    ASSERT_TRUE(engine.WaitForFrames(7));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto available = State(5, PipeState::Available);
    const auto undetermined = State(5, PipeState::Undetermined);
    EXPECT_EQ(engine.Replies(), (std::vector<WireFrame>{Reply(5), available, State(5, PipeState::Absent), undetermined,
                                                        available, undetermined}));
}

TEST(ServiceMode, AllowlistQueriesAnswerPositivelyOnlyWithTypeFifteen) {
    FakeEngine engine;
    const std::string longest = "\\\\.\\pipe\\" + std::string(101, 'l');
    engine.List(longest);
    engine.Start(EngineMode::Service);
    const std::string twenty = "//./pipe/abcdefghij";  // 19 bytes + 1
    engine.in.Push(FrameBytes(11, 3, kPipeB) + FrameBytes(11, 4, twenty + "k") + FrameBytes(11, 2, longest));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_EQ(engine.Replies(),
              (std::vector<WireFrame>{Reply(3, "This named pipe is not in the HTTP allowlist."),
                                      Reply(4, "Enter a local named pipe path beginning with \\\\.\\pipe\\."),
                                      {15, 2, "\x01"}}));
}

TEST(ServiceMode, RefusesTheSixtyFifthWatch) {
    FakeEngine engine;
    engine.Start(EngineMode::Service);
    std::string input;
    for (std::uint32_t id = 1; id <= 65; ++id) {
        const std::string path = "\\\\.\\pipe\\p" + std::to_string(id);
        engine.List(path);
        engine.SetPipe(path, 0);
        input += FrameBytes(13, id, path);
    }
    engine.in.Push(input);
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = engine.Replies();
    // All replies come in one turn, before the next turn's poll reports each
    // of the 64 watches once.
    ASSERT_EQ(frames.size(), 65u + 64u);
    for (std::uint32_t id = 1; id <= 64; ++id) EXPECT_EQ(frames[id - 1], Reply(id));
    EXPECT_EQ(frames[64], Reply(65, "Watch limit or duplicate watch ID."));
    for (std::uint32_t id = 1; id <= 64; ++id) EXPECT_EQ(frames[64 + id], State(id, PipeState::Available));
}

TEST(ServiceMode, DuplicateKeepsTheFirstPathAndUnwatchThenWatchReportsAgain) {
    FakeEngine engine;
    engine.List(kPipeA);
    engine.List(kPipeB);
    engine.SetPipe(kPipeA, 0);
    engine.SetPipe(kPipeB, 2);
    engine.Start(EngineMode::Service);
    engine.in.Push(FrameBytes(13, 9, kPipeA));
    ASSERT_TRUE(engine.WaitForFrames(3));
    engine.in.Push(FrameBytes(13, 9, kPipeB) + FrameBytes(14, 123) + FrameBytes(8, 1, "x"));
    ASSERT_TRUE(engine.WaitForFrames(5));
    engine.in.Push(FrameBytes(14, 9) + FrameBytes(13, 9, kPipeA));
    ASSERT_TRUE(engine.WaitForFrames(7));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_EQ(engine.Replies(), (std::vector<WireFrame>{Reply(9),
                                                        State(9, PipeState::Available),
                                                        Reply(9, "Watch limit or duplicate watch ID."),
                                                        {9, 1, "x"},
                                                        Reply(9),
                                                        State(9, PipeState::Available)}));
}

// A dead output ends the run, in the middle of a WatchState or of the reply
// that accepts a watch (which then leaves no watch behind to report).
TEST(ServiceMode, AFailingWriteEndsTheRun) {
    for (const std::size_t failAfter : {16u + 16 + 8, 16u + 4}) {
        FakeEngine engine;
        engine.List(kPipeA);
        engine.SetPipe(kPipeA, 0);
        engine.out.FailAfter(failAfter);
        engine.Start(EngineMode::Service);
        engine.in.Push(FrameBytes(13, 1, kPipeA));
        EXPECT_EQ(engine.Finish(), "SSH output closed.");
        EXPECT_EQ(engine.out.Bytes().size(), failAfter);
    }
}
