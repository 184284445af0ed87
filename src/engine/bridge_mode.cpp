#include "engine/bridge_mode.h"

#include <string_view>

#include "engine/engine_loop.h"
#include "text/program_error.h"

namespace {

bool Is(const FrameView& frame, FrameType type) { return frame.type == static_cast<std::uint32_t>(type); }

void WriteEmpty(OutputGate& output, FrameType type, std::uint32_t id, const CancelCheck& cancelled = CancelCheck()) {
    output.WriteFrame(static_cast<std::uint32_t>(type), id, nullptr, 0, cancelled);
}

void WriteText(OutputGate& output, FrameType type, std::uint32_t id, std::string_view text) {
    output.WriteFrame(static_cast<std::uint32_t>(type), id, text.data(), static_cast<std::uint32_t>(text.size()));
}

std::unique_ptr<PipeConnection> TakeStream(StreamTable& streams, std::uint32_t id) {
    auto it = streams.find(id);
    if (it == streams.end()) return nullptr;
    std::unique_ptr<PipeConnection> connection = std::move(it->second);
    streams.erase(it);
    return connection;
}

void OpenStream(const FrameView& frame, EngineState& state) {
    auto existing = state.streams.find(frame.streamId);
    if (existing != state.streams.end()) {
        // A pump with nothing left to send but its Close may already have
        // shown that Close to the client, which then takes the ID again before
        // this loop's next turn reaps the stream. Let the pump finish its
        // Close (no cancellation, which could drop it), then reap the stream.
        if (!existing->second->closing.load(std::memory_order_acquire)) {
            throw ProgramError(kDuplicateStreamIdMessage);
        }
        std::unique_ptr<PipeConnection> done = TakeStream(state.streams, frame.streamId);
        if (done->pump.joinable()) done->pump.join();
        ClosePipeConnection(std::move(done));
    }
    std::unique_ptr<PipeConnection> connection;
    bool opened = false;
    try {
        if (state.streams.size() >= kMaxStreams) throw ProgramError(kStreamLimitMessage);
        connection = std::make_unique<PipeConnection>(
            state.platform.bridge.connectPipe(state.bridgePipePath, state.allowlistPath));
        WriteText(state.output, FrameType::Opened, frame.streamId, connection->link.label);
        opened = true;
        PipeConnection* pumped = connection.get();
        OutputGate* output = &state.output;
        const std::uint32_t id = frame.streamId;
        std::function<void()> body = [pumped, id, output] { PumpPipeToOutput(*pumped, id, *output); };
        connection->pump = state.platform.bridge.startThread ? state.platform.bridge.startThread(std::move(body))
                                                             : std::thread(std::move(body));
        state.streams.emplace(frame.streamId, std::move(connection));
    } catch (const std::exception& error) {
        ClosePipeConnection(std::move(connection));
        // Once Opened is out, the client knows the stream: it ends with Close,
        // never with an OpenFailed for a stream it was told is open.
        if (opened) WriteEmpty(state.output, FrameType::Close, frame.streamId);
        else WriteText(state.output, FrameType::OpenFailed, frame.streamId, error.what());
    }
}

void WriteClientData(const FrameView& frame, PipeConnection& connection) {
    if (connection.endOfInput) throw ProgramError(kDataAfterEofMessage);
    std::uint32_t done = 0;
    while (done < frame.length) {
        // The transfer only reads from the buffer; the payload is not copied.
        void* rest = const_cast<std::uint8_t*>(frame.payload + done);
        const std::uint32_t wrote = connection.link.transfer(rest, frame.length - done, true);
        if (wrote == 0) throw ProgramError(kNoProgressMessage);
        done += wrote;
    }
}

}  // namespace

namespace {

// Steps up to the join; running them twice is harmless.
void StopPump(PipeConnection& connection) noexcept {
    if (connection.link.cancel) connection.link.cancel();
    // No CancelSynchronousIo here: the only synchronous call a pump makes is a
    // frame write to standard output, and cutting that short would corrupt the
    // client's stream. The pump's pipe read ends through the event, its wait
    // for the output gate within 100 ms, and a frame already being written is
    // finished (or fails because the output is dead).
    if (connection.pump.joinable()) connection.pump.join();
}

}  // namespace

void ClosePipeConnection(std::unique_ptr<PipeConnection> connection) noexcept {
    if (!connection) return;
    StopPump(*connection);
    connection->link.handles.reset();
}

void PumpPipeToOutput(PipeConnection& connection, std::uint32_t streamId, OutputGate& output) noexcept {
    const CancelCheck& cancelled = connection.link.cancelled;
    try {
        std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kPumpReadSize]);
        for (;;) {
            const std::uint32_t got = connection.link.transfer(block.get(), kPumpReadSize, false);
            if (got == 0) break;
            output.WriteFrame(static_cast<std::uint32_t>(FrameType::Data), streamId, block.get(), got, cancelled);
        }
        WriteEmpty(output, FrameType::Eof, streamId, cancelled);
        connection.closing.store(true, std::memory_order_release);
        WriteEmpty(output, FrameType::Close, streamId, cancelled);
        connection.closeWritten.store(true, std::memory_order_release);
    } catch (...) {
        // With the output dead, the server's replies pile up unread until it
        // stops taking client data, and the engine thread would sit in a write
        // to this pipe until the write time-out: end that write now, so the
        // engine meets the dead output at once.
        if (output.Broken() && connection.link.cancel) connection.link.cancel();
        try {
            connection.closing.store(true, std::memory_order_release);
            WriteEmpty(output, FrameType::Close, streamId, cancelled);
            connection.closeWritten.store(true, std::memory_order_release);
        } catch (...) {
            // The stream is being closed or the output is dead: nothing to tell.
        }
    }
    // Sequentially consistent: at least the release the reaper's acquire
    // pairs with, and ordered with every other thread's atomics as a full
    // fence would be.
    connection.finished.store(true, std::memory_order_seq_cst);
}

void HandleBridgeFrame(const FrameView& frame, EngineState& state) {
    const bool empty = frame.length == 0;
    if (!state.platform.bridge.connectPipe) throw ProgramError(kInvalidForwardingRequestMessage);
    if (Is(frame, FrameType::Open) && empty) {
        OpenStream(frame, state);
        return;
    }
    if (Is(frame, FrameType::Close) && empty) {
        ClosePipeConnection(TakeStream(state.streams, frame.streamId));
        return;
    }
    const bool eof = Is(frame, FrameType::Eof) && empty;
    if (!eof && !Is(frame, FrameType::Data)) throw ProgramError(kInvalidForwardingRequestMessage);
    auto it = state.streams.find(frame.streamId);
    if (it == state.streams.end()) return;
    PipeConnection& connection = *it->second;
    if (eof) {
        // A half-close: the pipe stays open both ways and the pump reads on.
        connection.endOfInput = true;
        return;
    }
    try {
        WriteClientData(frame, connection);
    } catch (const std::exception&) {
        // The stream is closed before Close is written, so that no frame of its
        // pump can follow the Close; a pump that already ended with its own
        // Close is not answered twice. The failure's message is not sent.
        std::unique_ptr<PipeConnection> closing = TakeStream(state.streams, frame.streamId);
        StopPump(*closing);
        const bool told = closing->closeWritten.load(std::memory_order_acquire);
        ClosePipeConnection(std::move(closing));
        if (!told) WriteEmpty(state.output, FrameType::Close, frame.streamId);
    }
}

void ReapFinishedStreams(EngineState& state) {
    for (auto it = state.streams.begin(); it != state.streams.end();) {
        if (it->second->finished.load(std::memory_order_acquire)) {
            std::unique_ptr<PipeConnection> done = std::move(it->second);
            it = state.streams.erase(it);
            ClosePipeConnection(std::move(done));
        } else {
            ++it;
        }
    }
}
