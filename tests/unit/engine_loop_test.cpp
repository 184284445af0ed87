// The engine loop through the in-memory operating system: greeting, Ping,
// every fatal end, the idle end and the clean-up, in both modes.

#include <gtest/gtest.h>

#include "support/fake_engine.h"

namespace {

const std::string kBridgePipe = "\\\\.\\pipe\\bridge.pipe";

std::string Ping(std::uint32_t id, const std::string& payload) { return FrameBytes(8, id, payload); }

}  // namespace

// The first bad frame, or input that ends inside a payload, ends the run with
// its sentence; nothing after it is answered. One row per rule: each bad
// header's status is frame_test.cpp's, a cut header and an Open to a service
// are transcript cases.
TEST(EngineLoop, EveryFatalFrameEndsTheRunWithItsMessage) {
    struct Case {
        EngineMode mode;
        std::string input;
        std::string message;
    };
    const std::string bad("QSF2\x01\x00\x08\x00\x01\x00\x00\x00\x00\x00\x00\x00", 16);
    const std::vector<Case> cases = {
        {EngineMode::Service, Ping(4, "abc").substr(0, 18), "Truncated input frame."},
        {EngineMode::Bridge, bad, "Invalid bridge frame."},
        {EngineMode::Service, FrameBytes(13, 0, "\\\\.\\pipe\\a"), "Expected a nonzero stream ID."},
        {EngineMode::Service, FrameBytes(14, 1, "x"), "Invalid service request."},
        {EngineMode::Service, FrameBytes(13, 1, ""), "Invalid service request."},
        {EngineMode::Service, FrameBytes(11, 1, std::string(111, 'a')), "Invalid service request."},
        {EngineMode::Bridge, FrameBytes(13, 1, "\\\\.\\pipe\\a"), "Invalid forwarding request."},
        {EngineMode::Bridge, FrameBytes(2, 1, "x"), "Invalid forwarding request."},
        {EngineMode::Bridge, FrameBytes(3, 1), "Invalid forwarding request."},
    };
    for (const Case& c : cases) {
        FakeEngine engine;
        engine.List(kBridgePipe);
        engine.Start(c.mode, kBridgePipe);
        // A Ping after the bad frame, in the same chunk, must not be answered.
        const bool cut = c.message == "Truncated input frame.";
        engine.in.Push(cut ? c.input : c.input + Ping(1, "after"));
        if (cut) engine.in.End();
        EXPECT_EQ(engine.Finish(), c.message) << c.message;
        EXPECT_EQ(engine.out.Bytes(), kHello) << c.message;
    }
}

TEST(EngineLoop, EndsAfterTwoMinutesWithoutInputClosingStreamsFirst) {
    FakeEngine engine;
    engine.List(kBridgePipe);
    auto pipe = engine.AddServedPipe("server / bridge.pipe");
    engine.Start(EngineMode::Bridge, kBridgePipe);
    engine.in.Push(FrameBytes(2, 4));
    ASSERT_TRUE(engine.WaitForFrames(2));
    // Exactly two minutes is not yet idle; one millisecond more is.
    engine.now.store(engine.now.load() + kIdleLimitMs);
    engine.in.Push(Ping(1, "still here"));
    ASSERT_TRUE(engine.WaitForFrames(3));
    engine.now.store(engine.now.load() + kIdleLimitMs);
    ASSERT_TRUE(engine.WaitForClockRead());  // a turn that saw exactly the limit
    engine.in.Push(Ping(2, "and here"));
    ASSERT_TRUE(engine.WaitForFrames(4));
    EXPECT_FALSE(pipe->Cancelled());
    engine.now.store(engine.now.load() + kIdleLimitMs + 1);
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_TRUE(pipe->Cancelled());
    EXPECT_TRUE(pipe->Released());
    EXPECT_EQ(
        engine.Frames(),
        (std::vector<WireFrame>{{1, 0, ""}, {3, 4, "server / bridge.pipe"}, {9, 1, "still here"}, {9, 2, "and here"}}));
}

// A client opens a burst of streams to a pipe whose server is slow to come
// (each Open waits its 15 s for the registered task's server) and sends a Ping
// while the first Open waits, then nothing more. The Ping is answered, although
// more than two minutes have passed since the burst was taken; and since the
// client has then been silent for more than two minutes, counted from the
// Ping's arrival, the run ends right after the answer.
TEST(EngineLoop, InputThatCameWhileTheEngineWasBusyIsHandledBeforeTheIdleEnd) {
    FakeEngine engine;
    engine.List(kBridgePipe);
    const std::string unavailable = "The named pipe app is unavailable (Windows error 2).";
    for (int open = 0; open < 9; ++open) {
        engine.FailNextOpen(unavailable, [&engine, open] {
            if (open == 0) {
                engine.in.Push(Ping(99, "alive?"));
                // Read and queued: the reader waits in its next read.
                EXPECT_TRUE(engine.in.WaitUntilBlocked(10000));
            }
            engine.now.store(engine.now.load() + 15000);
        });
    }
    engine.Start(EngineMode::Bridge, kBridgePipe);
    std::string burst;
    for (std::uint32_t id = 1; id <= 9; ++id) burst += FrameBytes(2, id);
    engine.in.Push(burst);
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = engine.Frames();
    ASSERT_EQ(frames.size(), 1u + 9u + 1u);
    for (std::uint32_t id = 1; id <= 9; ++id) EXPECT_EQ(frames[id], (WireFrame{4, id, unavailable}));
    EXPECT_EQ(frames[10], (WireFrame{9, 99, "alive?"}));
}
