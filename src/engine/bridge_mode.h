#pragma once
// Bridge mode: up to 64 streams to the one bridge pipe. Client data is written
// to the pipe on the engine thread; one pump thread per stream reads the pipe
// and writes Data frames through the output gate.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/frame.h"
#include "engine/output_gate.h"
#include "engine/standard_streams.h"
#include "os/wait_lock.h"
#include "text/encoding.h"

struct EngineState;

inline constexpr std::size_t kMaxStreams = 64;
inline constexpr std::uint32_t kPumpReadSize = 32768;

inline constexpr const char* kInvalidForwardingRequestMessage = "Invalid forwarding request.";
inline constexpr const char* kDuplicateStreamIdMessage = "Duplicate stream ID.";
inline constexpr const char* kStreamLimitMessage = "Stream limit exceeded.";
inline constexpr const char* kDataAfterEofMessage = "Data after stream EOF.";
inline constexpr const char* kNoProgressMessage = "Pipe write made no progress.";

// A connected, verified pipe of one stream with its cancellation event.
struct PipeLink {
    std::string label;  // the pipe display label; may be empty
    // One PipeTransfer on this pipe with this link's cancellation event: the
    // bytes moved, 0 at the end of the pipe on a read. Throws on failure.
    std::function<std::uint32_t(void* buffer, std::uint32_t length, bool write)> transfer;
    // Signals the cancellation event, then cancels every operation on the pipe.
    std::function<void()> cancel;
    // Called by the pump once it holds the output gate for a frame (and when
    // it looks at its cancellation while waiting for it); may be empty.
    std::function<void()> paceFrame;
    // Owns the event and the pipe handle; released after the pump is joined.
    std::shared_ptr<void> handles;
};

struct BridgePlatform {
    // Connects to the pipe (allowlist, activation, identity checks) and creates
    // its cancellation event. Throws the message to answer with OpenFailed;
    // leaves no handle open on failure.
    std::function<PipeLink(const std::string& pipePath, const WideString& allowlistPath)> connectPipe;
    // Starts a pump thread; std::thread in the product, replaceable so tests
    // can refuse it.
    std::function<std::thread(std::function<void()> body)> startThread;
};

// One stream's pipe and pump. Shared by the stream table and the pump thread,
// as is the output gate: a pump that a bounded close has to leave behind keeps
// both alive until it returns.
struct PipeConnection {
    PipeConnection(PipeLink l, std::shared_ptr<OutputGate> out) : link(std::move(l)), output(std::move(out)) {}
    PipeLink link;
    const std::shared_ptr<OutputGate> output;
    std::thread pump;
    std::atomic<bool> closeWritten{false};  // the pump's own Close reached the client
    std::atomic<bool> closing{false};       // the pump's next frame is its final Close
    bool endOfInput = false;                // engine thread only

    // Closes the stream's way out: raises the cancellation flag, then signals
    // the link's event. In that order, so that a pump woken by the event (its
    // transfer fails) finds the flag raised and writes nothing more.
    void Cancel() noexcept;
    // Whether the stream is being closed: what the pump's frame writes ask.
    // A flag, not the event: asking an event is a system call, under Wine a
    // round trip to the server, and the pump asks once for every frame.
    bool Cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

    // The pump's last act.
    void MarkFinished() noexcept;
    bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
    // Waits up to `limit` for the pump to finish; returns whether it has.
    bool WaitFinished(std::chrono::milliseconds limit) noexcept;

private:
    std::atomic<bool> cancelled_{false};
    WaitLock finishing_;
    std::atomic<bool> finished_{false};  // set under finishing_, read by anyone
};

using StreamTable = std::map<std::uint32_t, std::shared_ptr<PipeConnection>>;

// How long a closing stream's pump may take to finish the frame it is
// writing. Past it the client has stopped reading standard output; a live
// client on any usable link takes a 32 KiB frame in far less (5 s is a link
// below 7 KiB/s, or one stalled through several TCP retransmissions), and
// waiting longer would only hold the engine, and the end of the run, for a
// client that is gone.
inline constexpr std::chrono::milliseconds kPumpStopLimit{5000};

// Cancels the connection's I/O, waits for its pump to finish and releases its
// handles. Accepts null. A pump inside a frame write is let finish that frame
// (a frame cut short would desynchronise the client) for `limit`; after it
// the output is given up (OutputGate::Break), which ends that write, and a
// pump that still does not return is left to end on its own with its share
// of the connection. Callers then find the output Broken().
void ClosePipeConnection(std::shared_ptr<PipeConnection> connection, std::chrono::milliseconds limit) noexcept;

// Reads the pipe in 32768-byte blocks and writes each as Data; Eof and Close
// at the end of the pipe, Close alone after a failure; then marks itself
// finished.
void PumpPipeToOutput(PipeConnection& connection, std::uint32_t streamId) noexcept;

// Handles one bridge-mode frame (not Ping, stream ID not 0). Throws for a
// fatal protocol error; a request's failure is answered with a frame.
void HandleBridgeFrame(const FrameView& frame, EngineState& state);

// Removes, in ascending ID, every stream whose pump has finished.
void ReapFinishedStreams(EngineState& state);
