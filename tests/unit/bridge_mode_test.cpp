// Bridge mode through in-memory pipes, where the real ones cannot be made to
// do it on cue: the stream limit, an ID reused at once, failures answered with
// Close, and closes that meet a pump or a client that stopped reading. Streams
// end to end are the transcript cases' (tests/e2e/cases.transcript); a pipe
// write that fails is answered with Close in Faults under Wine.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/fake_engine.h"
#include "text/program_error.h"

namespace {

const std::string kPipe = "\\\\.\\pipe\\bridge.pipe";
constexpr int kWaitMs = 10000;

}  // namespace

// A client may open an ID again as soon as it has read the program's Close
// for it, without waiting for the engine's next turn to reap the stream.
TEST(BridgeMode, AnIdClosedByItsPumpOpensAgainAtOnce) {
    FakeEngine engine;
    engine.List(kPipe);
    engine.Start(EngineMode::Bridge, kPipe);
    for (std::size_t round = 0; round < 5; ++round) {
        auto pipe = engine.AddServedPipe("");
        engine.in.Push(FrameBytes(2, 4));
        ASSERT_TRUE(engine.WaitForFrames(2 + 3 * round));
        pipe->Hangup();
        ASSERT_TRUE(engine.WaitForFrames(4 + 3 * round));  // Eof, Close
    }
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = engine.Replies();
    ASSERT_EQ(frames.size(), 15u);
    const std::uint32_t openedEofClose[] = {3, 6, 7};
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], (WireFrame{openedEofClose[i % 3], 4, ""}));
}

TEST(BridgeMode, FailedOpensAreAnsweredAndTheSixtyFifthStreamIsRefused) {
    FakeEngine engine;
    engine.List(kPipe);
    engine.FailNextOpen("Named pipe is not running as the current user.");
    std::vector<std::shared_ptr<FakeServedPipe>> pipes;
    for (int i = 0; i < 64; ++i) pipes.push_back(engine.AddServedPipe("l"));
    engine.Start(EngineMode::Bridge, kPipe);
    std::string opens = FrameBytes(2, 1000);
    for (std::uint32_t id = 1; id <= 65; ++id) opens += FrameBytes(2, id);
    engine.in.Push(opens);
    ASSERT_TRUE(engine.WaitForFrames(1 + 66));
    // The 64 streams go on.
    engine.in.Push(FrameBytes(5, 64, "still open"));
    ASSERT_TRUE(pipes[63]->WaitForReceived(10, kWaitMs));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = engine.Replies();
    ASSERT_EQ(frames.size(), 66u);
    EXPECT_EQ(frames[0], (WireFrame{4, 1000, "Named pipe is not running as the current user."}));
    for (std::uint32_t id = 1; id <= 64; ++id) EXPECT_EQ(frames[id], (WireFrame{3, id, "l"}));
    EXPECT_EQ(frames[65], (WireFrame{4, 65, "Stream limit exceeded."}));
    for (const auto& pipe : pipes) EXPECT_TRUE(pipe->Released());
}

// A close meets a pump that has just read data. The fake link's cancel (the
// event being signalled) lets the pump run to its end before the close goes
// on, the worst order for the close: the pump, not yet holding the gate,
// writes nothing more, not even its own Close. A close meeting a pump inside
// its frame is the gate's (output_gate_test.cpp); one meeting a pump waiting
// for its pipe, the Windows faults suite's.
TEST(BridgeMode, ACloseMeetingAPumpThatHasReadWritesNothingMore) {
    struct Script {
        std::mutex mutex;
        std::condition_variable changed;
        bool reading = false;
        bool cancelled = false;
    };
    auto script = std::make_shared<Script>();
    FakeStdout out;
    auto gate = std::make_shared<OutputGate>(out.Port());
    PipeConnection* pump = nullptr;
    PipeLink link;
    link.transfer = [script](void* buffer, std::uint32_t, bool) -> std::uint32_t {
        std::unique_lock<std::mutex> lock(script->mutex);
        if (script->reading) throw ProgramError("Pipe operation cancelled or timed out.");
        script->reading = true;
        script->changed.notify_all();
        script->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return script->cancelled; });
        // Bytes already there come back despite the cancellation, as from PipeTransfer.
        std::memcpy(buffer, "0123456789", 10);
        return 10;
    };
    link.cancel = [script, &pump] {
        Change(script, [](Script& s) { s.cancelled = true; });
        EXPECT_TRUE(pump->WaitFinished(std::chrono::milliseconds(kWaitMs)));
    };
    auto connection = std::make_shared<PipeConnection>(std::move(link), gate);
    pump = connection.get();
    connection->pump = std::thread([connection] { PumpPipeToOutput(*connection, 1); });
    ASSERT_TRUE(Await(script, kWaitMs, [](Script& s) { return s.reading; }));
    ClosePipeConnection(connection, std::chrono::milliseconds(kWaitMs));
    EXPECT_TRUE(connection->Finished());
    EXPECT_EQ(out.Bytes(), "");
}

// Nobody reads the output any more and only a pump has met that: the pump
// cancels its own pipe, so that the engine thread, held in a write of client
// data to a server that takes no more, meets the dead output at once and ends
// the run without waiting for the client to end its input.
TEST(BridgeMode, AnOutputThatDiesUnderAPumpEndsTheRun) {
    FakeEngine engine;
    engine.List(kPipe);
    auto pipe = engine.AddServedPipe("");
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 1));
    ASSERT_TRUE(engine.WaitForFrames(2));
    pipe->StallWrites();
    engine.in.Push(FrameBytes(5, 1, "held"));
    ASSERT_TRUE(pipe->WaitUntilStalled(kWaitMs));
    engine.out.FailAfter(engine.out.Bytes().size());
    pipe->Send("a reply nobody can read");
    // Well within the stalled write's 10 s: only the pump's cancel ends it.
    EXPECT_EQ(engine.Finish(3000), "SSH output closed.");
    EXPECT_TRUE(pipe->Released());
    EXPECT_EQ(engine.Replies(), (std::vector<WireFrame>{{3, 1, ""}}));
}

TEST(BridgeMode, APumpThatCannotStartClosesTheOpenedStream) {
    FakeEngine engine;
    engine.List(kPipe);
    auto pipe = engine.AddServedPipe("p");
    engine.RefuseThreads();
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 6) + FrameBytes(5, 6, "ignored"));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_EQ(engine.Replies(), (std::vector<WireFrame>{{3, 6, "p"}, {7, 6, ""}}));
    EXPECT_TRUE(pipe->Released());
    EXPECT_EQ(pipe->Received(), "");
}

// The client stops reading standard output in the middle of a pump's frame and
// keeps its input open. Whatever must then close that stream (the client's
// Close, the end of its input, the idle end) waits for the frame only so long,
// then gives the output up: the run ends with "SSH output closed.", and the
// torn frame is the last thing written, also once the output moves again;
// whether the system can cancel the blocked write or not.
TEST(BridgeMode, AClientThatStopsReadingIsGivenUpWhenItsStreamMustClose) {
    enum class Trigger { Close, EndOfInput, IdleEnd };
    struct Case {
        const char* name;
        Trigger trigger;
        bool cancellable;
    };
    const Case cases[] = {
        {"Close", Trigger::Close, true},
        {"end of input", Trigger::EndOfInput, true},
        {"idle end", Trigger::IdleEnd, true},
        {"Close, write not cancellable", Trigger::Close, false},
    };
    const std::string frame = FrameBytes(5, 1, "0123456789");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeEngine engine;
        engine.out.SetCancellable(c.cancellable);
        engine.List(kPipe);
        auto pipe = engine.AddServedPipe("");
        engine.Start(EngineMode::Bridge, kPipe);
        engine.in.Push(FrameBytes(2, 1));
        ASSERT_TRUE(engine.WaitForFrames(2));
        const std::string before = engine.out.Bytes();
        engine.out.HoldAt(before.size() + 20);  // 4 bytes into the payload
        pipe->Send("0123456789");
        ASSERT_TRUE(engine.out.WaitForBytes(before.size() + 20, kWaitMs));
        switch (c.trigger) {
            case Trigger::Close:
                engine.in.Push(FrameBytes(7, 1));
                break;
            case Trigger::EndOfInput:
                engine.in.End();
                break;
            case Trigger::IdleEnd:
                engine.now.store(engine.now.load() + kIdleLimitMs + 1);
                break;
        }
        EXPECT_EQ(engine.Finish(), "SSH output closed.");
        // The output moves again; a pump left behind ends and lets go.
        engine.out.Release();
        ASSERT_TRUE(pipe->WaitUntilReleased(kWaitMs));
        // A cancelled write leaves the frame torn; one that could not be
        // cancelled finishes its frame, and nothing follows either.
        EXPECT_EQ(engine.out.Bytes(), before + frame.substr(0, c.cancellable ? 20 : frame.size()));
    }
}
