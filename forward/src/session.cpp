#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "pipes/pipe_path.h"
#include "text/program_error.h"

namespace {

constexpr int kLocalReadsPerTurn = 4;
constexpr std::size_t kMaxErrorLine = 1000;
constexpr short kHangup = POLLHUP | POLLERR;
constexpr std::string_view kStreamLimitSentence = "Stream limit exceeded.";

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void PrepareLocalSocket(int fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

std::string PayloadText(const FrameView& frame) {
    return frame.length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(frame.payload), frame.length);
}

[[noreturn]] void Unexpected(const FrameView& frame) {
    throw ProgramError("The bridge sent an unexpected frame (type " + std::to_string(frame.type) + ", stream " +
                       std::to_string(frame.streamId) + ").");
}

[[noreturn]] void Invalid() { throw ProgramError("The bridge sent an invalid frame."); }

void RequireHello(const FrameView& frame) {
    if (frame.type != static_cast<std::uint32_t>(FrameType::Hello) || frame.streamId != 0 || frame.length != 0)
        throw ProgramError("The bridge did not begin the session with Hello.");
}

int WaitFor(std::int64_t nextTimerMs, std::int64_t now, int maxWaitMs) {
    if (nextTimerMs < 0) return maxWaitMs;
    return static_cast<int>(std::clamp<std::int64_t>(nextTimerMs - now, 0, maxWaitMs));
}

bool Has(short revents, short bits) { return (revents & bits) != 0; }

}  // namespace

bool CommandErrorText::ReadSome() {
    char block[4096];
    ssize_t got = read(fd_, block, sizeof block);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (got == 0) {
        open_ = false;
        return false;
    }
    partial_.append(block, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos || partial_.size() > kMaxErrorLine) {
        std::size_t cut = newline == std::string::npos ? kMaxErrorLine : newline;
        std::string line = partial_.substr(0, cut);
        partial_.erase(0, newline == std::string::npos ? cut : cut + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (echo_) problem_("command: " + line);
        last_ = line;
    }
    return true;
}

std::string CommandErrorText::LastLine() const {
    std::string rest = partial_;
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    return rest.empty() ? last_ : rest;
}

BridgeSession::BridgeSession(SessionIo io, std::vector<ListenAddress> addresses, SessionOptions options,
                             Clock& clock, SessionOutput output)
    : io_(io),
      addresses_(std::move(addresses)),
      options_(options),
      clock_(clock),
      output_(std::move(output)),
      link_(io.channelIn, io.channelOut, clock, options.keepAlive),
      ids_(options.lastStreamId) {}

BridgeSession::~BridgeSession() = default;

std::vector<std::string> BridgeSession::ListenerNames() const {
    std::vector<std::string> names;
    for (const auto& listener : listeners_) names.push_back(listener->Name());
    return names;
}

std::size_t BridgeSession::HeldForLocal() const {
    std::size_t total = 0;
    for (const auto& [id, stream] : streams_) total += stream.toLocal.Size();
    return total;
}

// The channel carries every stream, so it is paused only while some stream's
// local reader is a whole bound behind; CheckStalledReaders ends such a pause
// within stalledReaderMs at the latest.
bool BridgeSession::ChannelPaused() const {
    for (const auto& [id, stream] : streams_)
        if (stream.toLocal.Size() >= options_.streamBufferLimit) return true;
    return false;
}

std::int64_t BridgeSession::NextTimerMs() const {
    std::int64_t next = link_.NextTimerMs();
    for (const auto& [id, stream] : streams_) {
        if (stream.stalledSinceMs < 0) continue;
        std::int64_t due = stream.stalledSinceMs + options_.stalledReaderMs;
        next = next < 0 ? due : std::min(next, due);
    }
    return next;
}

void BridgeSession::OnHello() {
    helloSeen_ = true;
    link_.StartKeepAlive();
    for (const ListenAddress& address : addresses_) {
        listeners_.push_back(Listener::Open(address));
        if (options_.verbose) output_.problem("listening on " + listeners_.back()->Name());
    }
}

void BridgeSession::Forget(std::uint32_t id) {
    streams_.erase(id);
    ids_.Release(id);
}

void BridgeSession::EndAtBridge(std::uint32_t id, Stream& stream) {
    if (!stream.opened || stream.bridgeClosed || stream.closeSent) return;
    link_.Send(FrameType::Close, id, nullptr, 0);
    stream.closeSent = true;
    --streamsAtBridge_;
}

void BridgeSession::LocalGone(std::uint32_t id, Stream& stream) {
    if (!stream.opened) {
        // The bridge is still opening it: the Close follows its answer.
        stream.localGone = true;
        stream.socket.reset();
        return;
    }
    EndAtBridge(id, stream);
    Forget(id);
}

void BridgeSession::Dispatch(const FrameView& frame) {
    if (!helloSeen_) {
        RequireHello(frame);
        OnHello();
        return;
    }
    const std::uint32_t id = frame.streamId;
    auto found = streams_.find(id);
    Stream* stream = found == streams_.end() ? nullptr : &found->second;
    switch (static_cast<FrameType>(frame.type)) {
    case FrameType::Pong:
        link_.NotePong();
        return;
    case FrameType::Opened: {
        if (stream == nullptr || stream->opened) Unexpected(frame);
        stream->opened = true;
        if (stream->localGone) {
            LocalGone(id, *stream);
            return;
        }
        if (options_.verbose) {
            std::string label = PayloadText(frame);
            output_.problem("stream " + std::to_string(id) + " opened" + (label.empty() ? "" : ": " + label));
        }
        return;
    }
    case FrameType::OpenFailed: {
        if (stream == nullptr || stream->opened) Unexpected(frame);
        std::string sentence = PayloadText(frame);
        // The bridge forgets its ended streams at the start of a turn, not the
        // moment their last frame is written, so a slot freed just before this
        // Open may not be free there yet. The retry reaches a new turn.
        if (sentence == kStreamLimitSentence && !stream->localGone && stream->openAttempts <= options_.maxOpenRetries) {
            ++stream->openAttempts;
            link_.Send(FrameType::Open, id, nullptr, 0);
            return;
        }
        if (!stream->localGone) output_.problem(sentence);
        --streamsAtBridge_;
        Forget(id);
        return;
    }
    case FrameType::Data:
        // Frames for a stream this side has already closed are still in flight; they are dropped.
        if (stream == nullptr || !stream->opened || stream->closeSent || stream->bridgeClosed || stream->bridgeEof)
            return;
        if (frame.length == 0) return;
        stream->toLocal.Append(frame.payload, frame.length);
        OnLocalWritable(id, *stream);
        return;
    case FrameType::Eof:
        if (stream == nullptr || !stream->opened || stream->closeSent || stream->bridgeClosed) return;
        stream->bridgeEof = true;
        OnLocalWritable(id, *stream);
        return;
    case FrameType::Close:
        if (stream == nullptr || !stream->opened || stream->closeSent || stream->bridgeClosed) return;
        stream->bridgeClosed = true;
        --streamsAtBridge_;
        OnLocalWritable(id, *stream);
        return;
    default:
        Unexpected(frame);
    }
}

void BridgeSession::AcceptConnections(int listenFd) {
    while (streamsAtBridge_ < options_.maxStreams) {
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN, or out of descriptors: the connection stays in the backlog
        }
        UniqueFd socket(fd);
        PrepareLocalSocket(fd);
        std::uint32_t id = ids_.Allocate();
        link_.Send(FrameType::Open, id, nullptr, 0);
        Stream& stream = streams_[id];
        stream.socket = std::move(socket);
        ++streamsAtBridge_;
    }
}

void BridgeSession::OnLocalReadable(std::uint32_t id, Stream& stream, short revents) {
    bool reading = stream.opened && !stream.localEnded && !stream.localGone && !stream.closeSent &&
                   !stream.bridgeClosed && link_.QueuedFor(id) < options_.streamBufferLimit;
    if (!reading) {
        if (!Has(revents, kHangup)) return;
        stream.hangupSeen = true;
        // It has sent its last byte and now closed: nothing can reach it.
        if (stream.opened && stream.localEnded) LocalGone(id, stream);
        return;
    }
    localBlock_.resize(kLocalReadBlock);  // see session.h
    for (int turn = 0; turn < kLocalReadsPerTurn && link_.QueuedFor(id) < options_.streamBufferLimit; ++turn) {
        ssize_t got = read(stream.socket.get(), localBlock_.data(), localBlock_.size());
        if (got > 0) {
            link_.Send(FrameType::Data, id, localBlock_.data(), static_cast<std::size_t>(got), id);
            if (static_cast<std::size_t>(got) < localBlock_.size()) return;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (got == 0 && !Has(revents, POLLHUP) && !stream.hangupSeen) {
            // A half-close: the local side sends no more but may still read.
            stream.localEnded = true;
            link_.Send(FrameType::Eof, id, nullptr, 0);
            return;
        }
        LocalGone(id, stream);
        return;
    }
}

void BridgeSession::OnLocalWritable(std::uint32_t id, Stream& stream) {
    bool progress = false;
    while (!stream.toLocal.Empty() && stream.socket) {
        ssize_t sent = send(stream.socket.get(), stream.toLocal.Front(), stream.toLocal.Size(), kSendFlags);
        if (sent > 0) {
            stream.toLocal.Drop(static_cast<std::size_t>(sent));
            progress = true;
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        LocalGone(id, stream);
        return;
    }
    if (progress)
        stream.stalledSinceMs = stream.toLocal.Size() >= options_.streamBufferLimit ? clock_.NowMs() : -1;
    if (!stream.toLocal.Empty()) return;
    if (stream.bridgeClosed) {
        Forget(id);
        return;
    }
    if (stream.bridgeEof && !stream.writeShut && stream.socket) {
        shutdown(stream.socket.get(), SHUT_WR);
        stream.writeShut = true;
    }
}

void BridgeSession::CheckStalledReaders() {
    std::int64_t now = clock_.NowMs();
    for (auto it = streams_.begin(); it != streams_.end();) {
        std::uint32_t id = it->first;
        Stream& stream = it->second;
        ++it;  // LocalGone may erase this entry
        if (stream.toLocal.Size() < options_.streamBufferLimit) {
            stream.stalledSinceMs = -1;
            continue;
        }
        if (stream.stalledSinceMs < 0) {
            stream.stalledSinceMs = now;
            continue;
        }
        if (now - stream.stalledSinceMs < options_.stalledReaderMs) continue;
        output_.problem("stream " + std::to_string(id) + ": the local reader took nothing for " +
                        std::to_string(options_.stalledReaderMs / 1000) + " seconds; its connection is closed.");
        EndAtBridge(id, stream);
        Forget(id);
    }
}

std::optional<SessionEnd> BridgeSession::Step(int maxWaitMs) {
    link_.Tick(ChannelPaused());
    CheckStalledReaders();

    enum class Kind { Stop, ErrorText, ChannelIn, ChannelOut, Listener, Stream };
    struct Target {
        Kind kind;
        std::uint32_t index;
    };
    std::vector<pollfd> fds;
    std::vector<Target> targets;
    auto watch = [&](int fd, short events, Kind kind, std::uint32_t index) {
        fds.push_back(pollfd{fd, events, 0});
        targets.push_back(Target{kind, index});
    };
    if (io_.stopFd >= 0) watch(io_.stopFd, POLLIN, Kind::Stop, 0);
    if (errorText_ != nullptr && errorText_->Fd() >= 0) watch(errorText_->Fd(), POLLIN, Kind::ErrorText, 0);
    const bool paused = ChannelPaused();
    if (!paused && link_.WantsRead()) watch(link_.InFd(), POLLIN, Kind::ChannelIn, 0);
    if (link_.WantsWrite()) watch(link_.OutFd(), POLLOUT, Kind::ChannelOut, 0);
    if (streamsAtBridge_ < options_.maxStreams)
        for (std::uint32_t i = 0; i < listeners_.size(); ++i) watch(listeners_[i]->Fd(), POLLIN, Kind::Listener, i);
    for (auto& [id, stream] : streams_) {
        if (!stream.socket) continue;
        short events = 0;
        if (stream.opened && !stream.localEnded && !stream.closeSent && !stream.bridgeClosed &&
            link_.QueuedFor(id) < options_.streamBufferLimit)
            events |= POLLIN;
        if (!stream.toLocal.Empty()) events |= POLLOUT;
        // A hang-up is reported whatever is asked; one already noted would
        // only wake the loop again and again.
        if (events == 0 && stream.hangupSeen) continue;
        watch(stream.socket.get(), events, Kind::Stream, id);
    }

    int ready = poll(fds.data(), fds.size(), WaitFor(NextTimerMs(), clock_.NowMs(), maxWaitMs));
    if (ready < 0 && errno != EINTR) throw ProgramError("Could not wait for input.");

    bool channelEnded = false;
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        short revents = fds[i].revents;
        if (revents == 0) continue;
        const Target& target = targets[i];
        switch (target.kind) {
        case Kind::Stop:
            return SessionEnd::Stopped;
        case Kind::ErrorText:
            errorText_->ReadSome();
            break;
        case Kind::ChannelIn:
            if (!link_.ReadSome()) channelEnded = true;
            break;
        case Kind::ChannelOut:
            if (!link_.WriteSome()) return SessionEnd::ChannelClosed;
            break;
        case Kind::Listener:
            AcceptConnections(listeners_[target.index]->Fd());
            break;
        case Kind::Stream: {
            auto found = streams_.find(target.index);
            if (found == streams_.end()) break;
            if (Has(revents, POLLOUT | POLLERR)) OnLocalWritable(target.index, found->second);
            found = streams_.find(target.index);
            if (found == streams_.end()) break;
            if (Has(revents, POLLIN | kHangup)) OnLocalReadable(target.index, found->second, revents);
            break;
        }
        }
    }

    // Frames held while the channel was paused are handled as soon as it is not.
    while (!ChannelPaused()) {
        FrameView frame;
        ParseStatus status = link_.Parse(frame);
        if (status == ParseStatus::NeedMore) break;
        if (status != ParseStatus::Ok) Invalid();
        Dispatch(frame);
        link_.Consume();
    }
    if (channelEnded) return SessionEnd::ChannelClosed;
    if (link_.WantsWrite() && !link_.WriteSome()) return SessionEnd::ChannelClosed;
    return std::nullopt;
}

SessionEnd BridgeSession::Run() {
    for (;;) {
        if (auto end = Step(1000)) return *end;
    }
}

WatchSession::WatchSession(SessionIo io, std::vector<std::string> pipes, SessionOptions options, Clock& clock,
                           SessionOutput output)
    : io_(io),
      pipes_(std::move(pipes)),
      options_(options),
      clock_(clock),
      output_(std::move(output)),
      link_(io.channelIn, io.channelOut, clock, options.keepAlive),
      pending_(pipes_.size(), false),
      watching_(pipes_.size(), false) {}

void WatchSession::OnHello() {
    helloSeen_ = true;
    link_.StartKeepAlive();
    for (std::size_t i = 0; i < pipes_.size(); ++i) {
        std::string canonical;
        try {
            canonical = ValidatePipePath(pipes_[i]);
        } catch (const ProgramError& error) {
            output_.line(pipes_[i] + " refused: " + error.what());
            continue;
        }
        link_.Send(FrameType::Watch, static_cast<std::uint32_t>(i + 1),
                   reinterpret_cast<const std::uint8_t*>(canonical.data()), canonical.size());
        pending_[i] = true;
    }
}

void WatchSession::Dispatch(const FrameView& frame) {
    if (!helloSeen_) {
        RequireHello(frame);
        OnHello();
        return;
    }
    std::size_t index = frame.streamId - std::size_t{1};
    bool known = frame.streamId != 0 && index < pipes_.size();
    switch (static_cast<FrameType>(frame.type)) {
    case FrameType::Pong:
        link_.NotePong();
        return;
    case FrameType::ServiceReply:
        if (!known || !pending_[index]) Unexpected(frame);
        pending_[index] = false;
        if (frame.length == 0) {
            watching_[index] = true;
            ++active_;
        } else {
            output_.line(pipes_[index] + " refused: " + PayloadText(frame));
        }
        return;
    case FrameType::WatchState: {
        if (!known || !watching_[index] || frame.length != 1 || frame.payload[0] > 2) Unexpected(frame);
        static constexpr const char* kStates[] = {"absent", "available", "undetermined"};
        output_.line(pipes_[index] + " " + kStates[frame.payload[0]]);
        return;
    }
    default:
        Unexpected(frame);
    }
}

std::optional<SessionEnd> WatchSession::Step(int maxWaitMs) {
    link_.Tick(false);
    std::vector<pollfd> fds;
    int stopAt = -1, errorAt = -1, inAt = -1, outAt = -1;
    auto watch = [&](int fd, short events, int& at) {
        at = static_cast<int>(fds.size());
        fds.push_back(pollfd{fd, events, 0});
    };
    if (io_.stopFd >= 0) watch(io_.stopFd, POLLIN, stopAt);
    if (errorText_ != nullptr && errorText_->Fd() >= 0) watch(errorText_->Fd(), POLLIN, errorAt);
    if (link_.WantsRead()) watch(link_.InFd(), POLLIN, inAt);
    if (link_.WantsWrite()) watch(link_.OutFd(), POLLOUT, outAt);
    int ready = poll(fds.data(), fds.size(), WaitFor(link_.NextTimerMs(), clock_.NowMs(), maxWaitMs));
    if (ready < 0 && errno != EINTR) throw ProgramError("Could not wait for input.");
    if (ready <= 0) return std::nullopt;
    if (stopAt >= 0 && fds[stopAt].revents != 0) return SessionEnd::Stopped;
    if (errorAt >= 0 && fds[errorAt].revents != 0) errorText_->ReadSome();
    if (outAt >= 0 && fds[outAt].revents != 0 && !link_.WriteSome()) return SessionEnd::ChannelClosed;
    bool channelEnded = inAt >= 0 && fds[inAt].revents != 0 && !link_.ReadSome();
    for (;;) {
        FrameView frame;
        ParseStatus status = link_.Parse(frame);
        if (status == ParseStatus::NeedMore) break;
        if (status != ParseStatus::Ok) Invalid();
        Dispatch(frame);
        link_.Consume();
    }
    if (helloSeen_ && active_ == 0 && std::none_of(pending_.begin(), pending_.end(), [](bool p) { return p; }))
        throw ProgramError("No pipe is being watched.");
    if (channelEnded) return SessionEnd::ChannelClosed;
    if (link_.WantsWrite() && !link_.WriteSome()) return SessionEnd::ChannelClosed;
    return std::nullopt;
}

SessionEnd WatchSession::Run() {
    for (;;) {
        if (auto end = Step(1000)) return *end;
    }
}
