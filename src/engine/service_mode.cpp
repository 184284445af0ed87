#include "engine/service_mode.h"

#include <string_view>

#include "engine/engine_loop.h"
#include "os/system_codes.h"
#include "pipes/pipe_path.h"
#include "text/program_error.h"

namespace {

bool IsServiceRequest(const FrameView& frame) {
    const bool request = frame.type == static_cast<std::uint32_t>(FrameType::Watch) ||
                         frame.type == static_cast<std::uint32_t>(FrameType::AllowlistQuery);
    return request && frame.length >= 1 && frame.length <= kMaxServicePathBytes;
}

void WriteReply(EngineState& state, FrameType type, std::uint32_t id, const void* payload, std::size_t length) {
    state.output.WriteFrame(static_cast<std::uint32_t>(type), id, payload, static_cast<std::uint32_t>(length));
}

void HandleServiceRequest(const FrameView& frame, EngineState& state) {
    const std::string_view text(reinterpret_cast<const char*>(frame.payload), frame.length);
    const std::string path = ValidatePipePath(text);
    state.platform.requirePipeAllowlisted(path, state.allowlistPath);
    if (frame.type == static_cast<std::uint32_t>(FrameType::AllowlistQuery)) {
        const std::uint8_t yes = 0x01;
        WriteReply(state, FrameType::AllowlistReply, frame.streamId, &yes, 1);
        return;
    }
    if (state.watches.size() >= kMaxWatches || state.watches.count(frame.streamId) != 0) {
        throw ProgramError(kWatchLimitMessage);
    }
    state.watches.emplace(frame.streamId, WatchEntry{path, kNothingReported});
    try {
        WriteReply(state, FrameType::ServiceReply, frame.streamId, nullptr, 0);
    } catch (...) {
        // A watch the client was not told about must not report later.
        state.watches.erase(frame.streamId);
        throw;
    }
}

PipeState PollOne(const WatchEntry& entry, EngineState& state) {
    std::uint32_t waitResult = 0;
    try {
        state.platform.requirePipeAllowlisted(entry.path, state.allowlistPath);
        waitResult = state.platform.waitNamedPipe(entry.path);
    } catch (const std::exception&) {
        // A pipe that can no longer be vouched for (or whose path does not
        // convert) is neither reported present nor absent.
        return PipeState::Undetermined;
    }
    return PipeStateFromWait(waitResult);
}

}  // namespace

PipeState PipeStateFromWait(std::uint32_t windowsError) {
    switch (windowsError) {
        case 0:
        case kErrorSemTimeout:
        case kErrorPipeBusy:
            return PipeState::Available;
        case kErrorFileNotFound:
        case kErrorPathNotFound:
            return PipeState::Absent;
        default:
            return PipeState::Undetermined;
    }
}

void HandleServiceFrame(const FrameView& frame, EngineState& state) {
    if (frame.type == static_cast<std::uint32_t>(FrameType::Unwatch) && frame.length == 0) {
        state.watches.erase(frame.streamId);
        return;
    }
    if (!IsServiceRequest(frame)) throw ProgramError(kInvalidServiceRequestMessage);
    try {
        HandleServiceRequest(frame, state);
    } catch (const std::exception& error) {
        // The request's failure is the answer; if even that cannot be written,
        // the run ends with this second failure.
        const std::string_view message = error.what();
        WriteReply(state, FrameType::ServiceReply, frame.streamId, message.data(), message.size());
    }
}

void PollWatches(EngineState& state) {
    for (auto& [id, entry] : state.watches) {
        const auto now = static_cast<std::uint8_t>(PollOne(entry, state));
        if (now == entry.lastState) continue;
        WriteReply(state, FrameType::WatchState, id, &now, 1);
        entry.lastState = now;
    }
}
