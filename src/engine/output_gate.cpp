#include "engine/output_gate.h"

#include <algorithm>
#include <mutex>

#include "engine/frame.h"
#include "text/program_error.h"

// One writer waiting for the gate, on its own stack; it leaves its line
// itself, under the lock, before it returns or throws.
struct OutputGate::Waiter {
    WaitTurn turn;
};

std::size_t OutputGate::Waiting() const {
    std::lock_guard<WaitLock> hold(lock_);
    return engineLine_.size() + pumpLine_.size();
}

OutputGate::Waiter* OutputGate::Next() const {
    if (!engineLine_.empty()) return engineLine_.front();
    if (!pumpLine_.empty()) return pumpLine_.front();
    return nullptr;
}

void OutputGate::WakeNext() {
    if (Waiter* next = Next()) next->turn.Notify();
}

void OutputGate::Acquire(const CancelCheck& cancelled) {
    const bool engine = !cancelled;
    std::unique_lock<WaitLock> hold(lock_);
    // A free gate is taken at once unless someone is ahead: any waiting
    // engine frame, and for a pump any waiting pump frame as well. An engine
    // frame passes pumps whose turn has come but who have not woken yet.
    if (!held_ && engineLine_.empty() && (engine || pumpLine_.empty())) {
        held_ = true;
        return;
    }
    Waiter me;
    std::deque<Waiter*>& line = engine ? engineLine_ : pumpLine_;
    line.push_back(&me);
    auto sliceEnd = WaitLock::Clock::now() + kGateSlice;
    std::uint64_t wakesSeen = wakes_;
    // A pump looks at its cancellation before it first sleeps: its stream may
    // have been closed, and the waiters woken, before it lined up.
    bool lookNow = !engine;
    for (;;) {
        if (broken_) {
            line.erase(std::find(line.begin(), line.end(), &me));
            throw ProgramError(kOutputClosedMessage);
        }
        if (!held_ && Next() == &me) {
            line.pop_front();
            held_ = true;
            return;
        }
        if (engine) {
            me.turn.Wait(lock_);
            continue;
        }
        if (!lookNow) {
            me.turn.WaitUntil(lock_, sliceEnd);
            if (WaitLock::Clock::now() < sliceEnd && wakes_ == wakesSeen) continue;
        }
        lookNow = false;
        wakesSeen = wakes_;
        // The check is the caller's: asked without the lock.
        hold.unlock();
        const bool stop = cancelled();
        hold.lock();
        if (stop) {
            line.erase(std::find(line.begin(), line.end(), &me));
            if (!held_) WakeNext();
            throw ProgramError(kStreamClosedMessage);
        }
        sliceEnd = WaitLock::Clock::now() + kGateSlice;
    }
}

void OutputGate::Release() {
    std::lock_guard<WaitLock> hold(lock_);
    held_ = false;
    WakeNext();
}

void OutputGate::WakeWaiters() {
    std::lock_guard<WaitLock> hold(lock_);
    ++wakes_;
    for (Waiter* waiter : pumpLine_) waiter->turn.Notify();
}

void OutputGate::Break() {
    std::lock_guard<WaitLock> hold(lock_);
    broken_.store(true, std::memory_order_release);
    for (Waiter* waiter : engineLine_) waiter->turn.Notify();
    for (Waiter* waiter : pumpLine_) waiter->turn.Notify();
    // Under the lock, so that the holder is still inside its frame.
    if (held_ && output_.cancelWrite) output_.cancelWrite();
}

bool OutputGate::WriteAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        // A cancelled write may return having written part of its bytes:
        // the rest of the frame is not sent after the output was given up.
        if (broken_.load(std::memory_order_acquire)) return false;
        const std::size_t wrote = output_.write(data, size);
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

    Acquire(cancelled);
    struct Holding {
        OutputGate& gate;
        ~Holding() { gate.Release(); }
    } holding{*this};
    if (cancelled && cancelled()) throw ProgramError(kStreamClosedMessage);
    if (broken_) throw ProgramError(kOutputClosedMessage);
    // From here on the frame is not abandoned for a cancellation: a frame cut
    // short would desynchronise the client for the rest of the session.
    if (!WriteAll(header.bytes, kFrameHeaderSize) ||
        (length != 0 && !WriteAll(static_cast<const std::uint8_t*>(payload), length))) {
        broken_.store(true, std::memory_order_release);
        throw ProgramError(kOutputClosedMessage);
    }
}
