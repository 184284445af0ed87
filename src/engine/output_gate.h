#pragma once
// The one way frames reach standard output: a timed mutex held for exactly one
// frame, so that frames from the engine thread and from every pump thread are
// never interleaved.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "engine/standard_streams.h"
#include "engine/wait_lock.h"

inline constexpr const char* kInvalidOutputFrameMessage = "Invalid output frame.";
inline constexpr const char* kStreamClosedMessage = "Stream closed.";
inline constexpr const char* kOutputClosedMessage = "SSH output closed.";

// A timed mutex built from a lock and a condition variable. libstdc++'s
// std::timed_mutex waits in pthread_mutex_clocklock, which ThreadSanitizer
// does not see, so the gate could not be checked for races with it; and on
// Windows the WaitLock keeps every frame's lock and unlock in-process.
class TimedLock {
public:
    bool TryLockFor(std::chrono::milliseconds limit);
    void Unlock();

private:
    WaitLock lock_;
    bool held_ = false;
};

class OutputGate {
public:
    explicit OutputGate(StandardOutputWrite write) : write_(std::move(write)) {}
    OutputGate(const OutputGate&) = delete;
    OutputGate& operator=(const OutputGate&) = delete;

    // Writes one frame from the caller's memory. Throws "Invalid output frame."
    // for a bad type or length, "Stream closed." (nothing written) when
    // `cancelled` reports true while waiting for the gate or on getting it, and
    // "SSH output closed." when standard output fails. Once a frame's first
    // byte is out, the frame is finished or the output is dead: a failed write
    // also fails every later frame, so a torn frame is never followed by more.
    void WriteFrame(std::uint32_t type, std::uint32_t streamId, const void* payload, std::uint32_t length,
                    const CancelCheck& cancelled = CancelCheck());

    // Whether a write to standard output has failed: no frame can reach the
    // client any more. Any thread may ask.
    bool Broken() const { return broken_.load(std::memory_order_acquire); }

private:
    bool WriteAll(const std::uint8_t* data, std::size_t size);

    StandardOutputWrite write_;
    TimedLock gate_;
    std::atomic<bool> broken_{false};  // set under gate_, read by anyone
};
