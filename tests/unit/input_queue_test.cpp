// The standard input reader and its bounded queue, through an in-memory
// standard input (natively also under ThreadSanitizer).

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "engine/input_queue.h"
#include "support/fake_streams.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 10000;

// These tests do not ask when input came.
std::uint64_t StillClock() { return 0; }

std::string TakeText(InputQueue& queue, bool& finished, int timeoutMs = kWaitMs) {
    finished = false;
    auto chunk = queue.TakeInputChunk(Clock::now() + std::chrono::milliseconds(timeoutMs), finished);
    return chunk ? std::string(chunk->begin(), chunk->end()) : std::string("<none>");
}

}  // namespace

TEST(InputQueue, HoldsTheReaderBackAtExactlyFourMebibytes) {
    FakeStdin in;
    InputQueue queue(in.Port(), StillClock);
    // 127 full reads and two more that bring the queue to exactly 4194304.
    for (int i = 0; i < 127; ++i) in.Push(std::string(32768, static_cast<char>('a' + i % 26)));
    in.Push(std::string(32767, 'y'));
    in.Push("z");
    // The chunk that reaches exactly the limit is queued at once: the reader
    // comes back for read number 130 with nothing waiting for it.
    ASSERT_TRUE(in.WaitUntilReadReturned(129, kWaitMs));
    ASSERT_TRUE(in.WaitUntilBlocked(kWaitMs));
    EXPECT_EQ(in.Reads(), 130);

    // One more byte would make 4194305: the reader reads it and then waits for room.
    in.Push("!");
    ASSERT_TRUE(in.WaitUntilReadReturned(130, kWaitMs));
    EXPECT_EQ(in.Reads(), 130);
    bool finished = false;
    EXPECT_EQ(TakeText(queue, finished), std::string(32768, 'a'));
    // Room for it now: it is queued and the reader reads again.
    ASSERT_TRUE(in.WaitUntilReadReturned(130, kWaitMs));
    ASSERT_TRUE(in.WaitUntilBlocked(kWaitMs));
    EXPECT_EQ(in.Reads(), 131);
    for (int i = 1; i < 127; ++i) ASSERT_EQ(TakeText(queue, finished).size(), 32768u);
    EXPECT_EQ(TakeText(queue, finished), std::string(32767, 'y'));
    EXPECT_EQ(TakeText(queue, finished), "z");
    EXPECT_EQ(TakeText(queue, finished), "!");
}

TEST(InputQueue, StopDropsQueuedChunksAndFreesAReaderWaitingForRoom) {
    FakeStdin in;
    const std::weak_ptr<void> lifetime = in.Lifetime();
    {
        InputQueue queue(in.Port(), StillClock, std::chrono::milliseconds(60000));
        for (int i = 0; i < 129; ++i) in.Push(std::string(32768, 'q'));
        ASSERT_TRUE(in.WaitUntilReadReturned(129, kWaitMs));  // the 129th waits for room
        queue.StopInputReader();
        bool finished = false;
        EXPECT_EQ(TakeText(queue, finished, 0), "<none>");
        EXPECT_TRUE(finished);
    }
    in = FakeStdin();
    EXPECT_TRUE(lifetime.expired());
}
