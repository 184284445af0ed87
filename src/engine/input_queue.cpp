#include "engine/input_queue.h"

#include <deque>
#include <mutex>

#include "os/wait_lock.h"

struct InputQueue::Shared {
    Shared(StandardInput in, std::function<std::uint64_t()> clock)
        : input(std::move(in)), tickCount(std::move(clock)), lastRead(tickCount()) {}

    const StandardInput input;
    const std::function<std::uint64_t()> tickCount;
    WaitLock lock;  // every change below notifies all waiters
    std::deque<InputChunk> chunks;
    std::size_t queuedBytes = 0;
    std::uint64_t lastRead;  // tick count of the last read that brought bytes
    bool finished = false;
    bool stop = false;
    std::function<void()> cancelRead;  // set by the reader before its first read
};

InputQueue::InputQueue(StandardInput input, std::function<std::uint64_t()> tickCount,
                       std::chrono::milliseconds stopLimit)
    : shared_(std::make_shared<Shared>(std::move(input), std::move(tickCount))), stopLimit_(stopLimit) {
    reader_ = std::thread(StdinReader, shared_);
}

InputQueue::~InputQueue() { StopInputReader(); }

void InputQueue::StdinReader(std::shared_ptr<Shared> shared) {
    std::function<void()> cancel = shared->input.attachReader ? shared->input.attachReader() : nullptr;
    {
        std::lock_guard<WaitLock> hold(shared->lock);
        shared->cancelRead = std::move(cancel);
    }
    for (;;) {
        {
            // Not in the read loop's contract, but a stop that comes before the
            // read saves a read that could block for good.
            std::lock_guard<WaitLock> hold(shared->lock);
            if (shared->stop) break;
        }
        InputChunk chunk(kStdinReadSize);
        const std::size_t got = shared->input.read(chunk.data(), chunk.size());
        if (got == 0 || got > chunk.size()) break;
        chunk.resize(got);
        // A short read keeps at most twice its size: 4 MiB of tiny chunks must
        // not pin 32 KiB each.
        if (got <= kStdinReadSize / 2) chunk.shrink_to_fit();

        std::lock_guard<WaitLock> hold(shared->lock);
        // Noted before any wait for room: while it waits, the queue is full.
        shared->lastRead = shared->tickCount();
        shared->lock.Wait([&] { return shared->stop || shared->queuedBytes + got <= kMaxQueuedInput; });
        if (shared->stop) break;
        shared->queuedBytes += got;
        shared->chunks.push_back(std::move(chunk));
        shared->lock.NotifyAll();
    }
    std::lock_guard<WaitLock> hold(shared->lock);
    shared->finished = true;
    shared->lock.NotifyAll();
}

std::optional<InputChunk> InputQueue::TakeInputChunk(std::chrono::steady_clock::time_point deadline, bool& finished) {
    std::lock_guard<WaitLock> hold(shared_->lock);
    shared_->lock.WaitUntil(deadline, [&] { return !shared_->chunks.empty() || shared_->finished; });
    if (!shared_->chunks.empty()) {
        InputChunk chunk = std::move(shared_->chunks.front());
        shared_->chunks.pop_front();
        shared_->queuedBytes -= chunk.size();
        shared_->lock.NotifyAll();  // a reader held at the limit may go on
        return chunk;
    }
    finished = shared_->finished;
    return std::nullopt;
}

bool InputQueue::SilentLongerThan(std::uint64_t limitMs) {
    std::lock_guard<WaitLock> hold(shared_->lock);
    return shared_->chunks.empty() && shared_->tickCount() - shared_->lastRead > limitMs;
}

void InputQueue::StopInputReader() {
    if (!reader_.joinable()) return;
    {
        std::lock_guard<WaitLock> hold(shared_->lock);
        shared_->stop = true;
        shared_->lock.NotifyAll();
    }
    // A cancel can miss a read that has not started yet, so it is repeated
    // every 20 ms until the reader reports that it has finished.
    const auto giveUp = std::chrono::steady_clock::now() + stopLimit_;
    for (;;) {
        std::function<void()> cancel;
        {
            std::lock_guard<WaitLock> hold(shared_->lock);
            if (shared_->finished) break;
            cancel = shared_->cancelRead;
        }
        if (std::chrono::steady_clock::now() >= giveUp) break;
        if (cancel) cancel();
        std::lock_guard<WaitLock> hold(shared_->lock);
        shared_->lock.WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20),
                                [&] { return shared_->finished; });
    }
    bool finished;
    {
        std::lock_guard<WaitLock> hold(shared_->lock);
        finished = shared_->finished;
        shared_->chunks.clear();
        shared_->queuedBytes = 0;
    }
    // A read that cannot be cancelled (Wine: a stdin pipe) would hold the join
    // until the client closes its end. The thread keeps its own share of the
    // state, and the process is about to end, so it is let go instead.
    if (finished) reader_.join();
    else reader_.detach();
}
