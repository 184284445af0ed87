#pragma once
// Bridge mode: up to 64 streams to the one bridge pipe. Client data is written
// to the pipe on the engine thread; one pump thread per stream reads the pipe
// and writes Data frames through the output gate.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/frame.h"
#include "engine/output_gate.h"
#include "engine/standard_streams.h"
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
    // Whether the cancellation event is signalled.
    CancelCheck cancelled;
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

struct PipeConnection {
    explicit PipeConnection(PipeLink l) : link(std::move(l)) {}
    PipeLink link;
    std::thread pump;
    std::atomic<bool> finished{false};     // stored by the pump as its last act
    std::atomic<bool> closeWritten{false};  // the pump's own Close reached the client
    std::atomic<bool> closing{false};       // the pump's next frame is its final Close
    bool endOfInput = false;            // engine thread only
};

using StreamTable = std::map<std::uint32_t, std::unique_ptr<PipeConnection>>;

// Cancels the connection's I/O, waits for its pump to finish and releases its
// handles. Accepts null. A pump inside a frame write is let finish that frame
// (never cancelled mid-frame), so no frame reaches the client cut short.
void ClosePipeConnection(std::unique_ptr<PipeConnection> connection) noexcept;

// Reads the pipe in 32768-byte blocks and writes each as Data; Eof and Close
// at the end of the pipe, Close alone after a failure; then sets `finished`.
void PumpPipeToOutput(PipeConnection& connection, std::uint32_t streamId, OutputGate& output) noexcept;

// Handles one bridge-mode frame (not Ping, stream ID not 0). Throws for a
// fatal protocol error; a request's failure is answered with a frame.
void HandleBridgeFrame(const FrameView& frame, EngineState& state);

// Removes, in ascending ID, every stream whose pump has finished.
void ReapFinishedStreams(EngineState& state);
