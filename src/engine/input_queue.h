#pragma once
// Standard input moved by one reader thread into a queue of chunks bounded at
// 4 MiB, from which the engine loop takes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "engine/standard_streams.h"

using InputChunk = std::vector<std::uint8_t>;

inline constexpr std::size_t kStdinReadSize = 32768;
inline constexpr std::size_t kMaxQueuedInput = 4194304;

class InputQueue {
public:
    // Starts the reader thread. Throws std::system_error when the thread cannot
    // be started. `tickCount` is the clock (milliseconds) by which the reader
    // notes when input came; `stopLimit` bounds how long StopInputReader waits
    // for a reader whose blocked read cannot be cancelled.
    InputQueue(StandardInput input, std::function<std::uint64_t()> tickCount,
               std::chrono::milliseconds stopLimit = std::chrono::milliseconds(2000));
    ~InputQueue();
    InputQueue(const InputQueue&) = delete;
    InputQueue& operator=(const InputQueue&) = delete;

    // The oldest queued chunk, waiting until `deadline` for one. Without a chunk,
    // `finished` tells whether the reader has stopped; queued chunks are handed
    // out before the end is reported.
    std::optional<InputChunk> TakeInputChunk(std::chrono::steady_clock::time_point deadline, bool& finished);

    // Whether the client has been silent for more than `limitMs`: nothing read
    // from standard input for that long and nothing left in the queue. Counted
    // from the reads, not from when the engine takes a chunk, so that time the
    // engine spends on earlier input never counts against the client.
    bool SilentLongerThan(std::uint64_t limitMs);

    // Stops the reader and drops every queued chunk; idempotent. Never hangs: a
    // reader still blocked after `stopLimit` is left to end on its own. It owns
    // a share of the queue state, so it never touches freed memory.
    void StopInputReader();

private:
    struct Shared;
    static void StdinReader(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread reader_;
    std::chrono::milliseconds stopLimit_;
};
