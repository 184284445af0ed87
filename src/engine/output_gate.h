#pragma once
// The one way frames reach standard output: a gate held for exactly one frame,
// so that frames from the engine thread and from every pump thread are never
// interleaved. The gate is fair: the engine thread's own frames (the answers a
// client waits for) go before every waiting pump frame, and pump frames go in
// the order in which they asked, so no busy stream can keep the engine's
// answers or another stream waiting for more than the frames ahead of them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>

#include "engine/standard_streams.h"
#include "os/wait_lock.h"

inline constexpr const char* kInvalidOutputFrameMessage = "Invalid output frame.";
inline constexpr const char* kStreamClosedMessage = "Stream closed.";
inline constexpr const char* kOutputClosedMessage = "SSH output closed.";

// How often a pump waiting for the gate looks at its cancellation unwoken: the
// bound on how long a closing stream's pump stays in the queue.
inline constexpr std::chrono::milliseconds kGateSlice{100};

class OutputGate {
public:
    explicit OutputGate(StandardOutput output) : output_(std::move(output)) {}
    OutputGate(const OutputGate&) = delete;
    OutputGate& operator=(const OutputGate&) = delete;

    // Writes one frame from the caller's memory. A frame without `cancelled`
    // is the engine thread's own: it goes before every waiting pump frame and
    // waits without limit. A pump passes its stream's cancellation, and waits
    // its turn behind the pump frames that asked before it. Throws "Invalid
    // output frame." for a bad type or length, "Stream closed." (nothing
    // written) when `cancelled` reports true while waiting for the gate or on
    // getting it, and "SSH output closed." when standard output fails or has
    // been given up (Break). Once a frame's first byte is out, the frame is
    // finished or the output is dead: a failed write also fails every later
    // frame, so a torn frame is never followed by more.
    void WriteFrame(std::uint32_t type, std::uint32_t streamId, const void* payload, std::uint32_t length,
                    const CancelCheck& cancelled = CancelCheck());

    // Whether a write to standard output has failed or the output was given
    // up: no frame can reach the client any more. Any thread may ask.
    bool Broken() const { return broken_.load(std::memory_order_acquire); }

    // Gives the output up, for a client that has stopped reading it: from now
    // on nothing more is written, writers waiting for the gate fail with "SSH
    // output closed.", and the frame being written, if any, stops where it is
    // (its blocked write is cancelled), so that it is the last thing written.
    // Repeat it until the writer has gone: a write that had not begun when it
    // was cancelled may block after all.
    void Break();

    // Makes every waiting pump look at its cancellation now, not at the end
    // of its slice: a stream is being closed, and its pump should go at once.
    void WakeWaiters();

    // How many writers wait for the gate (for tests that line writers up).
    std::size_t Waiting() const;

private:
    struct Waiter;

    // Takes the gate in the writer's turn; throws "Stream closed." for a pump
    // whose stream closes while it waits, and "SSH output closed." for any
    // writer once the output is given up.
    void Acquire(const CancelCheck& cancelled);
    void Release();
    // With lock_ held: the writer whose turn is next, and waking it.
    Waiter* Next() const;
    void WakeNext();
    bool WriteAll(const std::uint8_t* data, std::size_t size);

    StandardOutput output_;
    // Guards the fields below. Never held while writing: only the hand-over
    // of the gate takes it.
    mutable WaitLock lock_;
    bool held_ = false;
    std::deque<Waiter*> engineLine_;   // the engine thread's frames waiting
    std::deque<Waiter*> pumpLine_;     // pump frames waiting, first come first
    std::uint64_t wakes_ = 0;          // WakeWaiters calls so far
    std::atomic<bool> broken_{false};  // set by the holder or by Break, read by anyone
};
