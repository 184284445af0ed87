// Bridge mode through in-memory pipes: the frames of each stream in order,
// limits, half-close, failures answered with Close, and no frame of a stream
// after it is gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "support/fake_engine.h"
#include "text/program_error.h"

namespace {

const std::string kPipe = "\\\\.\\pipe\\bridge.pipe";
constexpr int kWaitMs = 10000;

std::vector<WireFrame> After(const FakeEngine& engine) {
    std::vector<WireFrame> frames = engine.Frames();
    if (!frames.empty()) frames.erase(frames.begin());
    return frames;
}

std::vector<WireFrame> OfStream(const std::vector<WireFrame>& frames, std::uint32_t id) {
    std::vector<WireFrame> mine;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(mine),
                 [&](const WireFrame& f) { return f.streamId == id; });
    return mine;
}

std::size_t Count(const FakeEngine& engine) { return engine.Frames().size(); }

void Sync(FakeEngine& engine, std::uint32_t id) {
    const std::size_t before = Count(engine);
    engine.in.Push(FrameBytes(8, id, "sync"));
    ASSERT_TRUE(engine.WaitForFrames(before + 1));
}

}  // namespace

TEST(BridgeMode, AStreamCarriesBothWaysAndEndsWithEofThenClose) {
    FakeEngine engine;
    engine.List(kPipe);
    auto pipe = engine.AddServedPipe("S-1-5-21-0-0-0-1000 / bridge.pipe");
    auto again = engine.AddServedPipe("");
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 1) + FrameBytes(5, 1, "to server") + FrameBytes(5, 1, "") + FrameBytes(5, 1, "!"));
    ASSERT_TRUE(pipe->WaitForReceived(10, kWaitMs));
    EXPECT_EQ(pipe->Received(), "to server!");
    pipe->Send("from server");
    pipe->Send(std::string(70000, 'z'));  // more than one 32768-byte read
    pipe->Hangup();
    ASSERT_TRUE(engine.WaitForFrames(1 + 1 + 4 + 2));
    Sync(engine, 1);  // the finished stream is reaped at this turn
    engine.in.Push(FrameBytes(2, 1));
    ASSERT_TRUE(engine.WaitForFrames(10));
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_TRUE(pipe->Released());
    EXPECT_TRUE(again->Released());
    const auto frames = After(engine);
    EXPECT_EQ(frames, (std::vector<WireFrame>{{3, 1, "S-1-5-21-0-0-0-1000 / bridge.pipe"},
                                              {5, 1, "from server"},
                                              {5, 1, std::string(32768, 'z')},
                                              {5, 1, std::string(32768, 'z')},
                                              {5, 1, std::string(70000 - 65536, 'z')},
                                              {6, 1, ""},
                                              {7, 1, ""},
                                              {9, 1, "sync"},
                                              {3, 1, ""}}));
}

// A client may open an ID again as soon as it has read the program's Close
// for it, without waiting for the engine's next turn to reap the stream.
TEST(BridgeMode, AnIdClosedByItsPumpOpensAgainAtOnce) {
    FakeEngine engine;
    engine.List(kPipe);
    engine.Start(EngineMode::Bridge, kPipe);
    ASSERT_TRUE(engine.WaitForFrames(1));  // Hello
    for (int round = 0; round < 20; ++round) {
        auto pipe = engine.AddServedPipe("");
        const std::size_t before = Count(engine);
        engine.in.Push(FrameBytes(2, 4));
        ASSERT_TRUE(engine.WaitForFrames(before + 1));
        pipe->Hangup();
        ASSERT_TRUE(engine.WaitForFrames(before + 3));  // Eof, Close
    }
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = After(engine);
    ASSERT_EQ(frames.size(), 60u);
    for (std::size_t i = 0; i < frames.size(); i += 3) {
        EXPECT_EQ(frames[i], (WireFrame{3, 4, ""}));
        EXPECT_EQ(frames[i + 1], (WireFrame{6, 4, ""}));
        EXPECT_EQ(frames[i + 2], (WireFrame{7, 4, ""}));
    }
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
    const auto frames = After(engine);
    ASSERT_EQ(frames.size(), 66u);
    EXPECT_EQ(frames[0], (WireFrame{4, 1000, "Named pipe is not running as the current user."}));
    for (std::uint32_t id = 1; id <= 64; ++id) EXPECT_EQ(frames[id], (WireFrame{3, id, "l"}));
    EXPECT_EQ(frames[65], (WireFrame{4, 65, "Stream limit exceeded."}));
    for (const auto& pipe : pipes) EXPECT_TRUE(pipe->Released());
}

TEST(BridgeMode, EofIsAHalfCloseAndDataAfterItClosesTheStream) {
    FakeEngine engine;
    engine.List(kPipe);
    auto pipe = engine.AddServedPipe("p");
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 8) + FrameBytes(6, 8));
    ASSERT_TRUE(engine.WaitForFrames(2));
    pipe->Send("after eof");
    ASSERT_TRUE(engine.WaitForFrames(3));
    EXPECT_FALSE(pipe->Cancelled());
    engine.in.Push(FrameBytes(5, 8, ""));
    ASSERT_TRUE(engine.WaitForFrames(4));
    EXPECT_TRUE(pipe->Released());
    // Gone, as a stream never opened: its frames are ignored, and the server's bytes go nowhere.
    pipe->Send("too late");
    engine.in.Push(FrameBytes(5, 8, "x") + FrameBytes(6, 8) + FrameBytes(7, 8) + FrameBytes(5, 8, ""));
    Sync(engine, 2);
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_EQ(pipe->Received(), "");
    EXPECT_EQ(After(engine), (std::vector<WireFrame>{{3, 8, "p"}, {5, 8, "after eof"}, {7, 8, ""}, {9, 2, "sync"}}));
}

TEST(BridgeMode, TheClientsCloseWritesNothingAndSilencesTheStream) {
    FakeEngine engine;
    engine.List(kPipe);
    auto pipe = engine.AddServedPipe("p");
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 4));
    ASSERT_TRUE(engine.WaitForFrames(2));
    engine.in.Push(FrameBytes(7, 4) + FrameBytes(7, 4));
    Sync(engine, 3);
    EXPECT_TRUE(pipe->Released());
    pipe->Send("nobody listens");
    Sync(engine, 3);
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    EXPECT_EQ(After(engine), (std::vector<WireFrame>{{3, 4, "p"}, {9, 3, "sync"}, {9, 3, "sync"}}));
}

// A close meets a pump at each step of its frame. The fake link's cancel
// (the event being signalled) lets the pump run to its end before the close
// goes on, the worst order for the close: a pump that meets the close before
// it holds the gate writes nothing more, not even its own Close; one that got
// the gate first finishes its frame and then stops.
TEST(BridgeMode, ACloseMeetingAPumpAtAnyStepLeavesNoFrameOrAWholeOne) {
    enum class At { Read, DataRead, GateQueue, Frame };
    struct Case {
        const char* name;
        At at;
        std::string written;
    };
    const Case cases[] = {
        {"waiting for the pipe", At::Read, ""},
        {"data read as the close comes", At::DataRead, ""},
        {"in line for the gate", At::GateQueue, FrameBytes(9, 0, "pong")},
        {"inside its frame", At::Frame, FrameBytes(5, 1, "0123456789")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        struct Script {
            std::mutex mutex;
            std::condition_variable changed;
            bool reading = false;
            bool cancelled = false;
            int reads = 0;
        };
        auto script = std::make_shared<Script>();
        FakeStdout out;
        auto gate = std::make_shared<OutputGate>(out.Port());
        PipeConnection* pump = nullptr;
        PipeLink link;
        link.transfer = [script, &c](void* buffer, std::uint32_t, bool) -> std::uint32_t {
            std::unique_lock<std::mutex> lock(script->mutex);
            if (++script->reads == 1 && (c.at == At::Read || c.at == At::DataRead)) {
                script->reading = true;
                script->changed.notify_all();
                script->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return script->cancelled; });
            }
            // Bytes already there come back despite the cancellation, as from PipeTransfer.
            if (script->reads == 1 && c.at != At::Read) {
                std::memcpy(buffer, "0123456789", 10);
                return 10;
            }
            throw ProgramError("Pipe operation cancelled or timed out.");
        };
        link.cancel = [script, &out, &pump] {
            {
                std::lock_guard<std::mutex> lock(script->mutex);
                script->cancelled = true;
                script->changed.notify_all();
            }
            out.Release();
            EXPECT_TRUE(pump->WaitFinished(std::chrono::milliseconds(kWaitMs)));
        };
        auto connection = std::make_shared<PipeConnection>(std::move(link), gate);
        pump = connection.get();
        ReleaseAtEnd release{out};

        std::future<void> engine;
        if (c.at == At::GateQueue) {
            out.HoldAt(5);
            engine = std::async(std::launch::async, [&] { gate->WriteFrame(9, 0, "pong", 4); });
            ASSERT_TRUE(out.WaitForBytes(5, kWaitMs));
        }
        if (c.at == At::Frame) out.HoldAt(20);  // 4 bytes into the payload
        connection->pump = std::thread([connection] { PumpPipeToOutput(*connection, 1); });
        switch (c.at) {
            case At::Read:
            case At::DataRead: {
                std::unique_lock<std::mutex> lock(script->mutex);
                ASSERT_TRUE(script->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                                     [&] { return script->reading; }));
                break;
            }
            case At::GateQueue:
                ASSERT_TRUE(WaitUntilWaiting(*gate, 1, kWaitMs));
                break;
            case At::Frame:
                ASSERT_TRUE(out.WaitForBytes(20, kWaitMs));
                break;
        }
        ClosePipeConnection(connection, std::chrono::milliseconds(kWaitMs));
        EXPECT_TRUE(connection->Finished());
        if (engine.valid()) {
            ASSERT_EQ(engine.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
            engine.get();
        }
        EXPECT_EQ(out.Bytes(), c.written);
    }
}

TEST(BridgeMode, AFailedPipeWriteIsAnsweredWithOneClose) {
    FakeEngine engine;
    engine.List(kPipe);
    auto failing = engine.AddServedPipe("f");
    auto ended = engine.AddServedPipe("e");
    engine.Start(EngineMode::Bridge, kPipe);
    engine.in.Push(FrameBytes(2, 1) + FrameBytes(2, 2));
    ASSERT_TRUE(engine.WaitForFrames(3));
    failing->FailWrites();
    engine.in.Push(FrameBytes(5, 1, "lost"));
    ASSERT_TRUE(engine.WaitForFrames(4));
    // A server that has ended: its pump already wrote Eof and Close, and a
    // write before the reap must not add a second Close.
    ended->Hangup();
    ASSERT_TRUE(engine.WaitForFrames(6));
    engine.in.Push(FrameBytes(5, 2, "late"));
    Sync(engine, 9);
    engine.in.End();
    EXPECT_EQ(engine.Finish(), "");
    const auto frames = After(engine);
    EXPECT_EQ(OfStream(frames, 1), (std::vector<WireFrame>{{3, 1, "f"}, {7, 1, ""}}));
    EXPECT_EQ(OfStream(frames, 2), (std::vector<WireFrame>{{3, 2, "e"}, {6, 2, ""}, {7, 2, ""}}));
    EXPECT_TRUE(failing->Released());
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
    EXPECT_EQ(After(engine), (std::vector<WireFrame>{{3, 1, ""}}));
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
    EXPECT_EQ(After(engine), (std::vector<WireFrame>{{3, 6, "p"}, {7, 6, ""}}));
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
        {"end of input, write not cancellable", Trigger::EndOfInput, false},
        {"idle end, write not cancellable", Trigger::IdleEnd, false},
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
