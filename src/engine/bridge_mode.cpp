#include "engine/bridge_mode.h"

#include <mutex>
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

std::shared_ptr<PipeConnection> TakeStream(StreamTable& streams, std::uint32_t id) {
    auto it = streams.find(id);
    if (it == streams.end()) return nullptr;
    std::shared_ptr<PipeConnection> connection = std::move(it->second);
    streams.erase(it);
    return connection;
}

// Waits for the pump to finish and joins it, giving up the output when a
// frame write holds the pump past `limit` (the client has stopped reading);
// a pump whose write will not end even then is let go. Running it twice is
// harmless.
void FinishPump(PipeConnection& connection, std::chrono::milliseconds limit) noexcept {
    if (!connection.pump.joinable()) return;
    if (!connection.WaitFinished(limit)) {
        // Break again until the pump has gone: a write that had not begun when
        // it was cancelled can still block.
        constexpr auto kRetry = std::chrono::milliseconds(20);
        constexpr int kRetries = 10;
        for (int i = 0; i < kRetries; ++i) {
            connection.output->Break();
            if (connection.WaitFinished(kRetry)) break;
        }
    }
    if (connection.Finished()) connection.pump.join();
    else connection.pump.detach();  // it holds its own share of the connection and the gate
}

// Closes a stream on the engine thread. A close that had to give the output up
// ends the run at once: nothing can reach the client any more.
void CloseStream(std::shared_ptr<PipeConnection> connection, EngineState& state) {
    ClosePipeConnection(std::move(connection), state.platform.pumpStopLimit);
    if (state.output.Broken()) throw ProgramError(kOutputClosedMessage);
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
        std::shared_ptr<PipeConnection> done = TakeStream(state.streams, frame.streamId);
        FinishPump(*done, state.platform.pumpStopLimit);
        CloseStream(std::move(done), state);
    }
    std::shared_ptr<PipeConnection> connection;
    bool opened = false;
    try {
        if (state.streams.size() >= kMaxStreams) throw ProgramError(kStreamLimitMessage);
        connection = std::make_shared<PipeConnection>(
            state.platform.bridge.connectPipe(state.bridgePipePath, state.allowlistPath), state.sharedOutput);
        WriteText(state.output, FrameType::Opened, frame.streamId, connection->link.label);
        opened = true;
        const std::uint32_t id = frame.streamId;
        std::function<void()> body = [connection, id] { PumpPipeToOutput(*connection, id); };
        connection->pump = state.platform.bridge.startThread ? state.platform.bridge.startThread(std::move(body))
                                                             : std::thread(std::move(body));
        state.streams.emplace(frame.streamId, std::move(connection));
    } catch (const std::exception& error) {
        ClosePipeConnection(std::move(connection), state.platform.pumpStopLimit);
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

// Steps up to the join: the cancellation ends the pump's pipe read and its
// wait for the output gate; a frame it is writing is let finish (within
// `limit`). Running them twice is harmless.
void StopPump(PipeConnection& connection, std::chrono::milliseconds limit) noexcept {
    connection.Cancel();
    connection.output->WakeWaiters();
    FinishPump(connection, limit);
}

}  // namespace

void PipeConnection::Cancel() noexcept {
    cancelled_.store(true, std::memory_order_seq_cst);
    if (link.cancel) link.cancel();
}

void PipeConnection::MarkFinished() noexcept {
    std::lock_guard<WaitLock> hold(finishing_);
    // Sequentially consistent: at least the release the reaper's acquire
    // pairs with, and ordered with every other thread's atomics as a full
    // fence would be.
    finished_.store(true, std::memory_order_seq_cst);
    finishing_.NotifyAll();
}

bool PipeConnection::WaitFinished(std::chrono::milliseconds limit) noexcept {
    std::lock_guard<WaitLock> hold(finishing_);
    return finishing_.WaitUntil(WaitLock::Clock::now() + limit, [&] { return Finished(); });
}

void ClosePipeConnection(std::shared_ptr<PipeConnection> connection, std::chrono::milliseconds limit) noexcept {
    if (!connection) return;
    StopPump(*connection, limit);
    // The handles go with the last share of the connection: this one, once
    // the pump is joined, or that of a pump left behind, which still uses them.
}

void PumpPipeToOutput(PipeConnection& connection, std::uint32_t streamId) noexcept {
    OutputGate& output = *connection.output;
    const CancelCheck cancelled = [&connection] {
        if (connection.link.paceFrame) connection.link.paceFrame();
        return connection.Cancelled();
    };
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
        if (output.Broken()) connection.Cancel();
        try {
            connection.closing.store(true, std::memory_order_release);
            WriteEmpty(output, FrameType::Close, streamId, cancelled);
            connection.closeWritten.store(true, std::memory_order_release);
        } catch (...) {
            // The stream is being closed or the output is dead: nothing to tell.
        }
    }
    connection.MarkFinished();
}

void HandleBridgeFrame(const FrameView& frame, EngineState& state) {
    const bool empty = frame.length == 0;
    if (!state.platform.bridge.connectPipe) throw ProgramError(kInvalidForwardingRequestMessage);
    if (Is(frame, FrameType::Open) && empty) {
        OpenStream(frame, state);
        return;
    }
    if (Is(frame, FrameType::Close) && empty) {
        CloseStream(TakeStream(state.streams, frame.streamId), state);
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
        std::shared_ptr<PipeConnection> closing = TakeStream(state.streams, frame.streamId);
        StopPump(*closing, state.platform.pumpStopLimit);
        const bool told = closing->closeWritten.load(std::memory_order_acquire);
        CloseStream(std::move(closing), state);
        if (!told) WriteEmpty(state.output, FrameType::Close, frame.streamId);
    }
}

void ReapFinishedStreams(EngineState& state) {
    for (auto it = state.streams.begin(); it != state.streams.end();) {
        if (it->second->Finished()) {
            std::shared_ptr<PipeConnection> done = std::move(it->second);
            it = state.streams.erase(it);
            ClosePipeConnection(std::move(done), state.platform.pumpStopLimit);
        } else {
            ++it;
        }
    }
}
