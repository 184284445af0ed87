#include "engine/engine_loop.h"

#include <optional>

#include "engine/input_queue.h"
#include "text/program_error.h"

namespace {

void Dispatch(const FrameView& frame, EngineState& state) {
    if (frame.type == static_cast<std::uint32_t>(FrameType::Ping)) {
        state.output.WriteFrame(static_cast<std::uint32_t>(FrameType::Pong), frame.streamId, frame.payload,
                                frame.length);
        return;
    }
    if (frame.streamId == 0) throw ProgramError(kNonzeroStreamIdMessage);
    if (state.mode == EngineMode::Service) HandleServiceFrame(frame, state);
    else HandleBridgeFrame(frame, state);
}

// Turns of the loop until a normal end; throws on a fatal error.
void RunLoop(EngineState& state, InputQueue& input) {
    const EnginePlatform& platform = state.platform;
    for (;;) {
        ReapFinishedStreams(state);
        // A pump's frame may be the one that found the client's output gone;
        // nothing can reach the client any more, so the run ends as it would
        // for a frame of the engine thread.
        if (state.output.Broken()) throw ProgramError(kOutputClosedMessage);
        if (state.mode == EngineMode::Service && !state.watches.empty()) PollWatches(state);
        // Idle is the client's silence: input read while this thread was busy
        // (an Open may take 15 s, a pipe write 30 s) still waits in the queue.
        if (input.SilentLongerThan(kIdleLimitMs)) return;

        bool finished = false;
        std::optional<InputChunk> chunk =
            input.TakeInputChunk(std::chrono::steady_clock::now() + platform.inputWait, finished);
        if (!chunk) {
            if (!finished) continue;
            if (state.buffer.PendingBytes() != 0) throw ProgramError(kTruncatedInputMessage);
            return;
        }
        if (chunk->empty()) continue;
        if (!state.buffer.AppendInput(chunk->data(), chunk->size())) throw ProgramError(kInputBufferExceededMessage);
        chunk.reset();

        FrameView frame;
        ParseStatus status;
        while ((status = state.buffer.ParseFrame(frame)) == ParseStatus::Ok) {
            Dispatch(frame, state);
            state.buffer.ConsumeFrame();
            if (state.output.Broken()) throw ProgramError(kOutputClosedMessage);
        }
        if (status != ParseStatus::NeedMore) throw ProgramError(kInvalidBridgeFrameMessage);
    }
}

// The one clean-up of every end, in this order: frame buffer, watches, every
// stream (one connection at a time), the reader. Every stream is cancelled
// before the first is closed, so that their pumps stop together and the
// bound on each close is not paid once per stream.
void EndRun(EngineState& state, InputQueue& input) noexcept {
    state.buffer.Free();
    state.watches.clear();
    for (const auto& stream : state.streams) stream.second->Cancel();
    while (!state.streams.empty()) {
        auto first = state.streams.begin();
        std::shared_ptr<PipeConnection> connection = std::move(first->second);
        state.streams.erase(first);
        ClosePipeConnection(std::move(connection), state.platform.pumpStopLimit);
    }
    input.StopInputReader();
}

}  // namespace

void RunStreamEngine(EngineMode mode, const std::string& bridgePipePath, const WideString& allowlistPath,
                     const EnginePlatform& platform) {
    if (mode == EngineMode::Bridge) platform.requirePipeAllowlisted(bridgePipePath, allowlistPath);
    auto output = std::make_shared<OutputGate>(platform.output);
    output->WriteFrame(static_cast<std::uint32_t>(FrameType::Hello), 0, nullptr, 0);

    EngineState state(mode, bridgePipePath, allowlistPath, platform, output);
    InputQueue input(platform.input, platform.tickCount, platform.readerStopLimit);
    try {
        RunLoop(state, input);
    } catch (...) {
        EndRun(state, input);
        throw;
    }
    EndRun(state, input);
    // A normal end whose closes found the client no longer reading is not
    // normal: its last frame may be cut short.
    if (output->Broken()) throw ProgramError(kOutputClosedMessage);
}
