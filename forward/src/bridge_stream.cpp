// A stream's two state machines, upstream (the local client towards the
// bridge) and downstream (the bridge towards the client): every transition,
// and the frame each one sends, is here.
//
//   upstream    Opening --Opened--> Reading --read end--> Ended (Eof sent)
//   downstream  Writing --Eof--> Draining --queue written--> Shut
//               any --Close--> Closing --queue written or write fails--> forgotten
//               Writing|Draining --write fails--> Failed
// A stream ends (Close sent while the bridge holds it) when its client is
// gone: a hang-up or a read error, or after Ended, the linger or a closed peer.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge_session.h"
#include "engine/bridge_mode.h"

namespace {

constexpr int kLocalReadsPerTurn = 4;
constexpr short kHangup = POLLHUP | POLLERR;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

bool Has(short revents, short bits) { return (revents & bits) != 0; }

}  // namespace

void BridgeSession::End(std::uint32_t id, Stream& stream, const char* why) {
    if (why != nullptr) Say("stream " + std::to_string(id) + " ended: " + why);
    if (stream.Opened() && stream.down != Downstream::Closing) {
        link_->Send(FrameType::Close, id, nullptr, 0);
        --streamsAtBridge_;
    }
    Forget(id);
}

void BridgeSession::LocalGone(std::uint32_t id, Stream& stream) {
    stream.hangupSeen = true;  // nothing left to read
    End(id, stream,
        stream.down == Downstream::Failed ? "its client could not be written to" : "its client closed the connection");
}

void BridgeSession::OnStreamFrame(const FrameView& frame, Stream& stream) {
    const std::uint32_t id = frame.streamId;
    const auto type = static_cast<FrameType>(frame.type);
    if (type == FrameType::Opened || type == FrameType::OpenFailed) {
        if (stream.Opened()) UnexpectedFrame(frame);
        if (type == FrameType::OpenFailed) return OnOpenFailed(id, stream, PayloadText(frame));
        stream.up = Upstream::Reading;
        --opensUnanswered_;
        lastAnswerMs_ = clock_.NowMs();
        openingFree_ = true;
        std::string label = PayloadText(frame);
        Say("stream " + std::to_string(id) + " opened" + (label.empty() ? "" : ": " + label));
        return;
    }
    // Frames for a stream this side has already ended are still in flight; they are dropped.
    if (!stream.Opened() || stream.down == Downstream::Closing) return;
    switch (type) {
        case FrameType::Data:
            if (frame.length == 0 || stream.down != Downstream::Writing) return;
            stream.toLocal.Append(frame.payload, frame.length);
            break;
        case FrameType::Eof:
            if (stream.down == Downstream::Writing) stream.down = Downstream::Draining;
            break;
        case FrameType::Close:
            stream.down = Downstream::Closing;
            --streamsAtBridge_;
            break;
        default:
            UnexpectedFrame(frame);
    }
    OnLocalWritable(id, stream);
}

void BridgeSession::OnOpenFailed(std::uint32_t id, Stream& stream, const std::string& sentence) {
    --opensUnanswered_;
    lastAnswerMs_ = clock_.NowMs();
    // The bridge forgets its ended streams at the start of a turn, not the
    // moment their last frame is written, so a slot freed just before this
    // Open may not be free there yet. The retry reaches a new turn.
    if (sentence == kStreamLimitMessage && stream.openAttempts <= options_.maxOpenRetries) {
        ++stream.openAttempts;
        ++opensUnanswered_;
        stream.openSentMs = clock_.NowMs();
        link_->Send(FrameType::Open, id, nullptr, 0);
        return;
    }
    // What failed this Open would fail the waiting ones too, each after its
    // own wait at the bridge: they end now, with the same reason.
    openingFree_ = false;
    std::size_t waiting = CloseWaiting();
    std::string message = OpenFailedMessage(options_.pipe, sentence);
    if (waiting != 0)
        message += " " + std::to_string(waiting) +
                   (waiting == 1 ? " waiting connection was closed too." : " waiting connections were closed too.");
    output_.problem(message);
    --streamsAtBridge_;
    Forget(id);
}

short BridgeSession::LocalEvents(std::uint32_t id, const Stream& stream) const {
    short events = 0;
    if (stream.up == Upstream::Reading && stream.down != Downstream::Closing &&
        link_->QueuedFor(id) < options_.streamBufferLimit)
        events |= POLLIN;
    if (!stream.toLocal.Empty()) events |= POLLOUT;
    return events;
}

void BridgeSession::OnLocalReadable(std::uint32_t id, Stream& stream, short revents) {
    if ((LocalEvents(id, stream) & POLLIN) == 0) {
        if (!Has(revents, kHangup)) return;
        stream.hangupSeen = true;
        // It has sent its last byte and now closed: nothing can reach it.
        if (stream.up == Upstream::Ended) LocalGone(id, stream);
        return;
    }
    localBlock_.resize(kLocalReadBlock);  // see bridge_session.h
    for (int turn = 0; turn < kLocalReadsPerTurn && link_->QueuedFor(id) < options_.streamBufferLimit; ++turn) {
        ssize_t got = read(stream.socket.get(), localBlock_.data(), localBlock_.size());
        if (got > 0) {
            link_->Send(FrameType::Data, id, localBlock_.data(), static_cast<std::size_t>(got), id);
            if (static_cast<std::size_t>(got) < localBlock_.size()) return;
            continue;
        }
        if (got < 0 && WouldBlock()) return;
        if (got == 0 && !Has(revents, POLLHUP) && !stream.hangupSeen && stream.down != Downstream::Failed) {
            // The local side sends no more. It may still read (a half-close),
            // or it may have closed for good: a Unix socket shows that as a
            // hang-up, TCP shows both alike until something is written to it.
            // The stream stays for what the pipe sends; a TCP client that is
            // not seen to hold its socket still gets the linger time.
            stream.up = Upstream::Ended;
            stream.quietSinceMs = clock_.NowMs();
            link_->Send(FrameType::Eof, id, nullptr, 0);
            if (!stream.unixSocket && options_.peerState(stream.socket.get()) == PeerState::Closed)
                End(id, stream, "its client closed the connection");
            return;
        }
        LocalGone(id, stream);
        return;
    }
}

void BridgeSession::OnLocalWritable(std::uint32_t id, Stream& stream) {
    bool progress = false;
    while (!stream.toLocal.Empty()) {
        ssize_t sent = send(stream.socket.get(), stream.toLocal.Front(), stream.toLocal.Size(), kSendFlags);
        if (sent > 0) {
            stream.toLocal.Drop(static_cast<std::size_t>(sent));
            progress = true;
            continue;
        }
        if (sent < 0 && WouldBlock()) break;
        // Nothing more reaches it, but what it sent before is still to be
        // read and delivered; the Close follows the end of its input.
        stream.toLocal = ByteQueue();
        stream.stalledSinceMs = -1;
        if (stream.down == Downstream::Closing) return End(id, stream, "its client could not be written to");
        stream.down = Downstream::Failed;
        if (stream.up == Upstream::Ended || stream.hangupSeen) LocalGone(id, stream);
        return;
    }
    if (progress) {
        stream.stalledSinceMs = stream.toLocal.Size() >= options_.streamBufferLimit ? clock_.NowMs() : -1;
        if (stream.up == Upstream::Ended) stream.quietSinceMs = clock_.NowMs();
    }
    if (!stream.toLocal.Empty()) return;
    if (stream.down == Downstream::Closing) return End(id, stream, "the pipe's server closed it");
    if (stream.down == Downstream::Draining) {
        shutdown(stream.socket.get(), SHUT_WR);
        stream.down = Downstream::Shut;
    }
}

// The linger after a TCP client's end, and the stalled reader.
void BridgeSession::RunStreamTimers(std::int64_t now) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        std::uint32_t id = it->first;
        Stream& stream = it->second;
        ++it;  // the stream may end here
        if (stream.up == Upstream::Ended && !stream.unixSocket && stream.down != Downstream::Closing &&
            stream.toLocal.Empty() && now - stream.quietSinceMs >= options_.lingerMs) {
            PeerState peer = options_.peerState(stream.socket.get());
            if (peer == PeerState::Open) {
                stream.quietSinceMs = now;  // still reading: look again later
            } else {
                End(id, stream,
                    peer == PeerState::Closed ? "its client closed the connection"
                                              : "its client ended its input and the pipe sent nothing more");
                continue;
            }
        }
        if (stream.toLocal.Size() < options_.streamBufferLimit) {
            stream.stalledSinceMs = -1;
        } else if (stream.stalledSinceMs < 0) {
            stream.stalledSinceMs = now;
        } else if (now - stream.stalledSinceMs >= options_.stalledReaderMs) {
            output_.problem("stream " + std::to_string(id) + ": the local reader took nothing for " +
                            std::to_string(options_.stalledReaderMs / 1000) + " seconds; its connection is closed.");
            End(id, stream, nullptr);
        }
    }
}
