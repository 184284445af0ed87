#pragma once
// The forwarder's end of one bridge session: frames queued for the command's
// standard input, frames cut from its standard output, and the keep-alive.
// Both descriptors are non-blocking; nothing here waits. The program ignores
// SIGPIPE, so a command that has gone shows up as a failed write.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "engine/frame.h"

struct KeepAliveTiming {
    std::int64_t pingIntervalMs = 30000;  // the bridge ends a session after 120 s without input
    std::int64_t deadAfterMs = 90000;     // an unanswered Ping this old means the channel is dead
};

class ChannelLink {
public:
    ChannelLink(int inFd, int outFd, Clock& clock, KeepAliveTiming timing);

    int InFd() const { return inFd_; }
    int OutFd() const { return outFd_; }

    // Queues one frame. `owner` is the stream whose bound the payload counts
    // against until it is written (0: none).
    void Send(FrameType type, std::uint32_t streamId, const std::uint8_t* payload, std::size_t length,
              std::uint32_t owner = 0);
    std::size_t QueuedFor(std::uint32_t owner) const;
    bool WantsWrite() const { return !queue_.empty(); }

    // Writes what the channel takes now. False once the command has stopped
    // reading its input (the pipe is broken).
    bool WriteSome();

    // Whether the frame buffer has room for another read.
    bool WantsRead() const;
    // Reads what the command has written so far. False at the end of its output.
    // Until the bridge's Hello, whatever comes before it is the remote side's
    // greeting (login scripts and some servers print one): kept, not parsed.
    // Throws ProgramError once more than 64 KiB of it has come.
    bool ReadSome();
    const std::string& Greeting() const { return greeting_; }
    // The next whole frame, as FrameBuffer::ParseFrame; Consume() drops it.
    ParseStatus Parse(FrameView& view) { return input_.ParseFrame(view); }
    void Consume() { input_.ConsumeFrame(); }
    std::size_t UnparsedBytes() const { return input_.PendingBytes(); }

    // Keep-alive, from the bridge's Hello on. Tick() sends a Ping when one is
    // due and throws ProgramError when one has gone unanswered too long. While
    // `notListening` (the forwarder has stopped reading the channel itself) a
    // missing Pong proves nothing, so the dead-channel clock is held.
    void StartKeepAlive();
    void Tick(bool notListening);
    // Any frame from the bridge shows the channel alive, not only a Pong: a
    // bridge busy opening a pipe answers late but still answers other things.
    void NoteArrival() { unansweredSinceMs_ = -1; }
    // When Tick() next has something to do; -1 when never.
    std::int64_t NextTimerMs() const;

private:
    struct Pending {
        std::string bytes;
        std::uint32_t owner;
    };

    void Settle(Pending& frame, std::size_t count);
    void TakeInput(const std::uint8_t* bytes, std::size_t count);

    int inFd_;
    int outFd_;
    Clock& clock_;
    KeepAliveTiming timing_;
    std::deque<Pending> queue_;
    std::size_t headWritten_ = 0;  // bytes of queue_.front() already written
    std::map<std::uint32_t, std::size_t> queuedByOwner_;
    FrameBuffer input_;
    std::vector<std::uint8_t> readBlock_;
    bool helloFound_ = false;
    std::string greeting_;
    std::string unscanned_;  // the greeting's tail, which may be the start of Hello
    bool keepAlive_ = false;
    std::int64_t lastPingMs_ = 0;
    std::int64_t unansweredSinceMs_ = -1;
    std::uint64_t pingCount_ = 0;
};

// One frame's bytes. Throws ProgramError for a payload over the frame's bound.
std::string EncodeFrame(FrameType type, std::uint32_t streamId, std::string_view payload);
std::string PayloadText(const FrameView& frame);

// The first line of a greeting, trimmed for a message.
std::string GreetingLine(const std::string& greeting);
