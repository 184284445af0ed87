#include "engine/output_gate.h"

#include <chrono>
#include <mutex>

#include "engine/frame.h"
#include "text/program_error.h"

bool TimedLock::TryLockFor(std::chrono::milliseconds limit) {
    std::lock_guard<WaitLock> hold(lock_);
    if (!lock_.WaitUntil(WaitLock::Clock::now() + limit, [&] { return !held_; })) return false;
    held_ = true;
    return true;
}

void TimedLock::Unlock() {
    std::lock_guard<WaitLock> hold(lock_);
    held_ = false;
    lock_.NotifyOne();  // one waiter can take the gate; waking all would only make the rest wait again
}

bool OutputGate::WriteAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const std::size_t wrote = write_(data, size);
        if (wrote == 0 || wrote > size) return false;
        data += wrote;
        size -= wrote;
    }
    return true;
}

void OutputGate::WriteFrame(std::uint32_t type, std::uint32_t streamId, const void* payload, std::uint32_t length,
                            const CancelCheck& cancelled) {
    FrameHeader header;
    if (!BuildFrameHeader(type, streamId, length, header)) throw ProgramError(kInvalidOutputFrameMessage);

    // Slices of 100 ms bound how long a closing stream's pump waits here.
    for (;;) {
        const bool locked = gate_.TryLockFor(std::chrono::milliseconds(100));
        if (cancelled && cancelled()) {
            if (locked) gate_.Unlock();
            throw ProgramError(kStreamClosedMessage);
        }
        if (locked) break;
    }
    struct Holding {
        TimedLock& lock;
        ~Holding() { lock.Unlock(); }
    } holding{gate_};
    if (broken_) throw ProgramError(kOutputClosedMessage);
    // From here on the frame is not abandoned for a cancellation: a frame cut
    // short would desynchronise the client for the rest of the session.
    if (!WriteAll(header.bytes, kFrameHeaderSize) ||
        (length != 0 && !WriteAll(static_cast<const std::uint8_t*>(payload), length))) {
        broken_.store(true, std::memory_order_release);
        throw ProgramError(kOutputClosedMessage);
    }
}
