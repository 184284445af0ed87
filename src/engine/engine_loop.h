#pragma once
// The one loop behind both running modes: greets the client, takes input
// chunks from the reader, cuts frames, answers Ping, checks stream IDs, hands
// every other frame to the mode's handler, and cleans up the same way on
// every end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/bridge_mode.h"
#include "engine/engine_mode.h"
#include "engine/frame.h"
#include "engine/output_gate.h"
#include "engine/service_mode.h"
#include "engine/standard_streams.h"
#include "text/encoding.h"

inline constexpr std::uint64_t kIdleLimitMs = 120000;

inline constexpr const char* kInvalidBridgeFrameMessage = "Invalid bridge frame.";
inline constexpr const char* kInputBufferExceededMessage = "Input buffer exceeded.";
inline constexpr const char* kTruncatedInputMessage = "Truncated input frame.";
inline constexpr const char* kNonzeroStreamIdMessage = "Expected a nonzero stream ID.";

// Everything the engine needs from the operating system.
struct EnginePlatform {
    StandardInput input;
    StandardOutput output;
    // Milliseconds of a monotonic clock (GetTickCount64); the reader thread
    // asks it too, to note when input came.
    std::function<std::uint64_t()> tickCount;
    // How long one turn waits for input; one second in the product.
    std::chrono::milliseconds inputWait{1000};
    // How long the end of a run waits for a reader that cannot be cancelled.
    std::chrono::milliseconds readerStopLimit{2000};
    // How long closing a stream waits for its pump to finish a frame that
    // standard output does not take, before the client is taken as gone.
    std::chrono::milliseconds pumpStopLimit{kPumpStopLimit};
    // Returns when the pipe is in the allowlist; throws the allowlist's message otherwise.
    std::function<void(std::string_view pipePath, const WideString& allowlistPath)> requirePipeAllowlisted;
    // WaitNamedPipeW with a 1 ms time-out on the path converted to UTF-16: 0
    // on success, else the Windows error code. Throws when the path does not convert.
    std::function<std::uint32_t(std::string_view pipePath)> waitNamedPipe;
    BridgePlatform bridge;
};

// State of one run, touched only by the engine thread.
struct EngineState {
    EngineState(EngineMode m, std::string pipe, const WideString& allowlist, const EnginePlatform& p,
                std::shared_ptr<OutputGate> out)
        : mode(m),
          bridgePipePath(std::move(pipe)),
          allowlistPath(allowlist),
          platform(p),
          sharedOutput(std::move(out)),
          output(*sharedOutput) {}

    const EngineMode mode;
    const std::string bridgePipePath;  // canonical; empty in service mode
    const WideString& allowlistPath;
    const EnginePlatform& platform;
    // Each pump holds a share of the gate: one that a bounded close had to
    // leave behind may still use it after the run.
    const std::shared_ptr<OutputGate> sharedOutput;
    OutputGate& output;
    FrameBuffer buffer;
    WatchTable watches;
    StreamTable streams;
};

// Runs one session. Returns when standard input ends on a frame boundary or
// after 120000 ms without input; throws the fatal error's message otherwise,
// also "SSH output closed." when closing a stream at the end had to give up a
// client that no longer reads.
// In bridge mode nothing is written before the bridge pipe passes the allowlist.
void RunStreamEngine(EngineMode mode, const std::string& bridgePipePath, const WideString& allowlistPath,
                     const EnginePlatform& platform);
