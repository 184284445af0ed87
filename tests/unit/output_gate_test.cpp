// Frames on standard output through the output gate: whole frames, the order
// of writers that wait, cancellation, and a dead output.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "engine/output_gate.h"
#include "support/error_message.h"
#include "support/fake_streams.h"
#include "support/wire.h"

namespace {

constexpr int kWaitMs = 10000;

// Whole frames only: fails the test on a torn one.
std::vector<WireFrame> ParseAll(const std::string& bytes) {
    std::size_t rest = 0;
    std::vector<WireFrame> frames = ParseWire(bytes, &rest);
    EXPECT_EQ(rest, 0u);
    return frames;
}

const std::string kTenBytes = "0123456789";

}  // namespace

// A frame leaves whole, also through an output that takes 7 bytes a call; a
// bad frame (type out of range, payload over 1 MiB) writes nothing.
TEST(OutputGate, WritesWholeFramesAndRefusesABadOne) {
    FakeStdout out;
    out.SetPieceSize(7);
    OutputGate gate(out.Port());
    const std::string larger(32769, 'M');
    gate.WriteFrame(9, 7, "abc", 3);
    gate.WriteFrame(5, 9, larger.data(), static_cast<std::uint32_t>(larger.size()));
    gate.WriteFrame(7, 9, nullptr, 0);
    for (std::uint32_t type : {0u, 16u, 0x10001u}) {
        EXPECT_EQ(MessageOf([&] { gate.WriteFrame(type, 1, nullptr, 0); }), "Invalid output frame.") << type;
    }
    EXPECT_EQ(MessageOf([&] { gate.WriteFrame(5, 1, "x", 1048577); }), "Invalid output frame.");
    EXPECT_EQ(out.Bytes(), FrameBytes(9, 7, "abc") + FrameBytes(5, 9, larger) + FrameBytes(7, 9));
}

TEST(OutputGate, CancellationStopsAWaitingWriterButNeverTearsAFrame) {
    FakeStdout out;
    FakeEvent closed;
    closed.Set();
    {
        OutputGate gate(out.Port());  // even with the gate free, a cancelled writer writes nothing
        EXPECT_EQ(MessageOf([&] { gate.WriteFrame(5, 3, "data", 4, closed.Check()); }), "Stream closed.");
        EXPECT_EQ(out.Bytes(), "");
    }
    out.HoldAt(20);  // the first frame stops 4 bytes into its payload
    OutputGate gate(out.Port());
    FakeEvent first;
    FakeEvent second;
    auto writing = std::async(std::launch::async, [&] { gate.WriteFrame(5, 1, "0123456789", 10, first.Check()); });
    ASSERT_TRUE(out.WaitForBytes(20, kWaitMs));
    auto waiting = std::async(std::launch::async,
                              [&] { return MessageOf([&] { gate.WriteFrame(5, 2, "zz", 2, second.Check()); }); });
    // Both streams close: the waiting writer gives up, the one inside its frame finishes it.
    first.Set();
    second.Set();
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "Stream closed.");
    out.Release();
    ASSERT_EQ(writing.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    writing.get();
    const std::vector<WireFrame> frames = ParseAll(out.Bytes());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, "0123456789");
}

TEST(OutputGate, ADeadOutputFailsThisFrameAndEveryLaterOne) {
    FakeStdout out;
    out.FailAfter(20);
    OutputGate gate(out.Port());
    EXPECT_EQ(MessageOf([&] { gate.WriteFrame(5, 1, "0123456789", 10); }), "SSH output closed.");
    out.FailAfter(1000);  // even if the output took bytes again, a torn frame must not be followed
    EXPECT_EQ(MessageOf([&] { gate.WriteFrame(1, 0, nullptr, 0); }), "SSH output closed.");
    EXPECT_EQ(out.Bytes().size(), 20u);

    FakeStdout none;
    none.FailAfter(0);
    OutputGate dead(none.Port());
    EXPECT_EQ(MessageOf([&] { dead.WriteFrame(1, 0, nullptr, 0); }), "SSH output closed.");
}

// Writers line up while the output holds the first one inside its frame: the
// engine thread's frames (no cancellation) go before every waiting pump frame,
// and pump frames go in the order in which they asked, whatever their streams.
TEST(OutputGate, EngineFramesGoFirstAndPumpFramesInTheOrderTheyAsked) {
    struct Case {
        std::string arrivals;  // digits: a pump frame of that stream; E: an engine frame
        std::string served;
    };
    const std::vector<Case> cases = {
        {"12345", "12345"},
        {"52314", "52314"},
        {"123E4", "1E234"},
        {"E321", "E321"},
    };
    for (const Case& c : cases) {
        FakeStdout out;
        out.HoldAt(20);  // the first frame stops 4 bytes into its payload
        OutputGate gate(out.Port());
        FakeEvent open;
        std::vector<std::future<void>> writers;
        ReleaseAtEnd release{out};
        for (std::size_t i = 0; i < c.arrivals.size(); ++i) {
            const char who = c.arrivals[i];
            writers.push_back(std::async(std::launch::async, [&gate, &open, who] {
                if (who == 'E') gate.WriteFrame(9, 0, kTenBytes.data(), 10);
                else gate.WriteFrame(5, static_cast<std::uint32_t>(who - '0'), kTenBytes.data(), 10, open.Check());
            }));
            if (i == 0) ASSERT_TRUE(out.WaitForBytes(20, kWaitMs)) << c.arrivals;
            else ASSERT_TRUE(WaitUntilWaiting(gate, i, kWaitMs)) << c.arrivals;
        }
        out.Release();
        std::string served;
        for (auto& writer : writers) {
            ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready) << c.arrivals;
            writer.get();
        }
        for (const WireFrame& f : ParseAll(out.Bytes()))
            served += f.type == 9 ? 'E' : static_cast<char>('0' + f.streamId);
        EXPECT_EQ(served, c.served) << c.arrivals;
    }
}

// A writer that asks again as soon as its frame is out goes behind a frame
// that waits: a busy stream delays a new frame by the frame being written and
// no more.
TEST(OutputGate, ABusyWriterGoesBehindAFrameThatWaits) {
    FakeStdout out;
    OutputGate gate(out.Port());
    FakeEvent open;
    std::atomic<bool> stop{false};
    std::future<void> busy;
    ReleaseAtEnd release{out};
    struct StopAtEnd {
        std::atomic<bool>& stop;
        ~StopAtEnd() { stop = true; }
    } stopAtEnd{stop};
    busy = std::async(std::launch::async, [&] {
        while (!stop) gate.WriteFrame(5, 1, kTenBytes.data(), 10, open.Check());
    });
    ASSERT_TRUE(out.WaitForBytes(26 * 8, kWaitMs));  // under way
    const std::size_t holdAt = out.Bytes().size() + 7;
    out.HoldAt(holdAt);
    ASSERT_TRUE(out.WaitForBytes(holdAt, kWaitMs));
    const std::size_t heldAt = out.Bytes().size();  // where the output stopped
    auto answer = std::async(std::launch::async, [&] { gate.WriteFrame(5, 100, "answer", 6, open.Check()); });
    ASSERT_TRUE(WaitUntilWaiting(gate, 1, kWaitMs));
    out.Release();
    ASSERT_EQ(answer.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    stop = true;
    ASSERT_EQ(busy.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    const std::vector<WireFrame> frames = ParseAll(out.Bytes());
    std::size_t end = 0;
    std::size_t held = 0;  // the frame the output stopped in
    while (held < frames.size() && (end += kWireHeaderSize + frames[held].payload.size()) <= heldAt) ++held;
    ASSERT_LT(held + 1, frames.size());
    EXPECT_EQ(frames[held + 1].streamId, 100u);
}
