#pragma once
// Service mode: watches on named pipes, reported once per change of state, and
// allowlist queries.

#include <cstdint>
#include <map>
#include <string>

#include "engine/frame.h"

struct EngineState;

inline constexpr std::size_t kMaxWatches = 64;
inline constexpr std::size_t kMaxServicePathBytes = 110;
inline constexpr std::uint8_t kNothingReported = 0xFF;

inline constexpr const char* kInvalidServiceRequestMessage = "Invalid service request.";
inline constexpr const char* kWatchLimitMessage = "Watch limit or duplicate watch ID.";

struct WatchEntry {
    std::string path;  // canonical
    std::uint8_t lastState = kNothingReported;
};

using WatchTable = std::map<std::uint32_t, WatchEntry>;

// Handles one service-mode frame (not Ping, stream ID not 0). A request's
// failure is answered with ServiceReply; a frame this mode does not accept
// throws "Invalid service request.", and so does nothing else.
void HandleServiceFrame(const FrameView& frame, EngineState& state);

// The state a WaitNamedPipeW result stands for: success, 121 and 231 mean the
// pipe exists; 2 and 3 that it does not; anything else is not known.
PipeState PipeStateFromWait(std::uint32_t windowsError);

// Polls every watch once, in ascending ID, writing WatchState for each change.
// A failed write throws (fatal).
void PollWatches(EngineState& state);
