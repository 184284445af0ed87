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
// So that a stream of connections that are refused cannot hold up the loop.
constexpr int kAcceptsPerTurn = 64;
constexpr std::size_t kMaxErrorLine = 1000;
constexpr short kHangup = POLLHUP | POLLERR;
constexpr std::string_view kStreamLimitSentence = "Stream limit exceeded.";
constexpr std::string_view kNoServerSentence = "The named pipe app is unavailable (Windows error 2).";
constexpr std::string_view kAllBusySentence = "The named pipe app is unavailable (Windows error 231).";

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

int WaitFor(std::int64_t nextTimerMs, std::int64_t now, int maxWaitMs) {
    if (nextTimerMs < 0) return maxWaitMs;
    return static_cast<int>(std::clamp<std::int64_t>(nextTimerMs - now, 0, maxWaitMs));
}

std::int64_t Earliest(std::int64_t a, std::int64_t b) { return a < 0 ? b : (b < 0 ? a : std::min(a, b)); }

bool Has(short revents, short bits) { return (revents & bits) != 0; }

// Every complete line of the greeting from `shown` on, for -v.
void ShowGreeting(const std::string& greeting, std::size_t& shown, const SessionOutput& output) {
    std::size_t newline;
    while ((newline = greeting.find('\n', shown)) != std::string::npos) {
        std::string line = greeting.substr(shown, newline - shown);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        output.problem("remote: " + line);
        shown = newline + 1;
    }
}

[[noreturn]] void NoHello(const std::string& greeting, std::int64_t limitMs) {
    std::string said = greeting.empty() ? "" : "; the remote command printed: \"" + GreetingLine(greeting) + "\"";
    throw ProgramError("The bridge did not start within " + std::to_string(limitMs / 1000) + " seconds" + said + ".");
}

}  // namespace

// The bridge's sentence for a failed Open, with the pipe named and its two
// common Windows errors said in words.
std::string OpenFailedMessage(const std::string& pipe, const std::string& sentence) {
    std::string what = pipe.empty() ? "the pipe" : pipe;
    if (sentence == kNoServerSentence) return "Could not open " + what + ": no server is running for it (Windows error 2).";
    if (sentence == kAllBusySentence)
        return "Could not open " + what + ": every instance of it is busy (Windows error 231).";
    return "Could not open " + what + ": " + sentence;
}

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
      options_(std::move(options)),
      clock_(clock),
      output_(std::move(output)),
      ids_(options_.lastStreamId) {
    if (io.channelIn >= 0) Attach(io);
}

BridgeSession::~BridgeSession() = default;

void BridgeSession::Attach(SessionIo io) {
    io.stopFd = io_.stopFd;
    io_ = io;
    link_ = std::make_unique<ChannelLink>(io.channelIn, io.channelOut, clock_, options_.keepAlive);
    helloSeen_ = false;
    helloDueMs_ = clock_.NowMs() + options_.helloLimitMs;
    greetingShown_ = 0;
    openingFree_ = false;
    opensUnanswered_ = 0;
    idleSinceMs_ = clock_.NowMs();
}

void BridgeSession::Detach() {
    while (!streams_.empty()) {
        auto it = streams_.begin();
        Say("stream " + std::to_string(it->first) + " ended: the session ended");
        Retire(std::move(it->second.socket), it->second.localEnded);
        Forget(it->first);
    }
    streamsAtBridge_ = 0;
    opensUnanswered_ = 0;
    link_.reset();
    io_.channelIn = io_.channelOut = -1;
    helloSeen_ = false;
}

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
// local reader is a whole bound behind; the stalled-reader rule ends such a
// pause within stalledReaderMs at the latest.
bool BridgeSession::ChannelPaused() const {
    for (const auto& [id, stream] : streams_)
        if (stream.toLocal.Size() >= options_.streamBufferLimit) return true;
    return false;
}

std::int64_t BridgeSession::NextTimerMs() const {
    std::int64_t next = link_ ? link_->NextTimerMs() : -1;
    if (link_ && !helloSeen_) next = Earliest(next, helloDueMs_);
    if (link_ && options_.idleEndMs >= 0 && idleSinceMs_ >= 0) next = Earliest(next, idleSinceMs_ + options_.idleEndMs);
    if (!held_.empty()) next = Earliest(next, held_.front().sinceMs + options_.heldLimitMs);
    for (const Draining& drain : draining_) next = Earliest(next, drain.untilMs);
    for (const auto& [id, stream] : streams_) {
        if (stream.stalledSinceMs >= 0) next = Earliest(next, stream.stalledSinceMs + options_.stalledReaderMs);
        if (stream.localEnded && !stream.unixSocket && stream.toLocal.Empty())
            next = Earliest(next, stream.quietSinceMs + options_.lingerMs);
    }
    return next;
}

void BridgeSession::OnHello() {
    helloSeen_ = true;
    link_->StartKeepAlive();
    OpenListeners();
}

void BridgeSession::OpenListeners() {
    if (!listeners_.empty()) return;
    // All or none: a session that could open only some of its listeners has
    // none, so that the caller can tell this failure from a lost channel.
    std::vector<std::unique_ptr<Listener>> opened;
    for (const ListenAddress& address : addresses_) opened.push_back(Listener::Open(address));
    listeners_ = std::move(opened);
    for (const auto& listener : listeners_) Say("listening on " + listener->Name());
    WarnOfOpenTcpListeners();
}

void BridgeSession::AdoptListeners(std::vector<std::unique_ptr<Listener>> listeners) {
    listeners_ = std::move(listeners);
    WarnOfOpenTcpListeners();
}

void BridgeSession::WarnOfOpenTcpListeners() const {
    if (options_.allowOtherUsers || TellsTcpPeerUsers()) return;
    for (const auto& listener : listeners_)
        if (listener->Name().rfind("tcp:", 0) == 0)
            output_.problem(listener->Name() +
                            " is open to every user of this machine: this system does not tell who connects to it.");
}

void BridgeSession::Forget(std::uint32_t id) {
    auto found = streams_.find(id);
    if (found != streams_.end()) {
        Stream& stream = found->second;
        if (stream.socket) Retire(std::move(stream.socket), stream.localEnded || stream.hangupSeen);
        streams_.erase(found);
    }
    ids_.Release(id);
}

void BridgeSession::Retire(UniqueFd socket, bool inputEnded) {
    if (!socket) return;
    if (inputEnded) return;  // closing it sends a plain end
    if (DrainingConnections() >= options_.drainConnections) {
        auto oldest = std::find_if(draining_.begin(), draining_.end(),
                                   [](const Draining& drain) { return drain.socket.held(); });
        // Left in the list for RunTimers to drop: this turn may still hold its index.
        if (oldest != draining_.end()) {
            oldest->socket.reset();
            oldest->untilMs = 0;
        }
    }
    shutdown(socket.get(), SHUT_WR);
    draining_.push_back(Draining{std::move(socket), clock_.NowMs() + options_.drainMs, options_.drainBytes});
}

std::size_t BridgeSession::DrainingConnections() const {
    return static_cast<std::size_t>(
        std::count_if(draining_.begin(), draining_.end(), [](const Draining& drain) { return drain.socket.held(); }));
}

void BridgeSession::OnDrainReadable(std::size_t index) {
    Draining& drain = draining_[index];
    if (!drain.socket) return;  // closed earlier in this turn
    char block[65536];
    for (;;) {
        ssize_t got = read(drain.socket.get(), block, std::min(sizeof block, drain.left));
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (got <= 0 || static_cast<std::size_t>(got) >= drain.left) break;
        drain.left -= static_cast<std::size_t>(got);
    }
    drain.untilMs = 0;  // done: RunTimers closes it
}

void BridgeSession::EndAtBridge(std::uint32_t id, Stream& stream) {
    if (!stream.opened || stream.bridgeClosed || stream.closeSent) return;
    link_->Send(FrameType::Close, id, nullptr, 0);
    stream.closeSent = true;
    --streamsAtBridge_;
}

void BridgeSession::End(std::uint32_t id, Stream& stream, const char* why) {
    Say("stream " + std::to_string(id) + " ended: " + why);
    EndAtBridge(id, stream);
    Forget(id);
}

void BridgeSession::LocalGone(std::uint32_t id, Stream& stream) {
    stream.hangupSeen = true;  // nothing left to read
    if (!stream.opened) {
        // The bridge is still opening it: the Close follows its answer.
        stream.localGone = true;
        stream.socket.reset();
        return;
    }
    End(id, stream, stream.writeFailed ? "its client could not be written to" : "its client closed the connection");
}

bool BridgeSession::MaySendOpen() const {
    if (!link_ || !helloSeen_) return false;
    if (!openingFree_) return opensUnanswered_ == 0;
    // The bridge opens one pipe at a time: an Open it has not answered for a
    // while, with no other answer meanwhile, means it is waiting for the pipe.
    std::int64_t now = clock_.NowMs();
    for (const auto& [id, stream] : streams_)
        if (!stream.opened && now - std::max(stream.openSentMs, lastAnswerMs_) >= options_.openProbeMs) return false;
    return true;
}

void BridgeSession::SendWaitingOpens() {
    while (!held_.empty() && MaySendOpen()) {
        UniqueFd socket = std::move(held_.front().socket);
        held_.pop_front();
        std::uint32_t id = ids_.Allocate();
        link_->Send(FrameType::Open, id, nullptr, 0);
        Stream& stream = streams_[id];
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        stream.unixSocket = getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                            address.ss_family == AF_UNIX;
        stream.socket = std::move(socket);
        stream.openSentMs = clock_.NowMs();
        ++streamsAtBridge_;
        ++opensUnanswered_;
    }
}

std::size_t BridgeSession::CloseWaiting() {
    std::size_t count = held_.size();
    while (!held_.empty()) {
        Retire(std::move(held_.front().socket), false);
        held_.pop_front();
    }
    return count;
}

void BridgeSession::OnOpenFailed(std::uint32_t id, Stream& stream, const std::string& sentence) {
    --opensUnanswered_;
    lastAnswerMs_ = clock_.NowMs();
    // The bridge forgets its ended streams at the start of a turn, not the
    // moment their last frame is written, so a slot freed just before this
    // Open may not be free there yet. The retry reaches a new turn.
    if (sentence == kStreamLimitSentence && !stream.localGone && stream.openAttempts <= options_.maxOpenRetries) {
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
    if (!stream.localGone || waiting != 0) {
        std::string message = OpenFailedMessage(options_.pipe, sentence);
        if (waiting != 0) {
            message += ' ';
            message += std::to_string(waiting);
            message += waiting == 1 ? " waiting connection was closed too." : " waiting connections were closed too.";
        }
        output_.problem(message);
    }
    --streamsAtBridge_;
    Forget(id);
}

void BridgeSession::Dispatch(const FrameView& frame) {
    link_->NoteArrival();
    if (!helloSeen_) {
        // The channel link hands on nothing before the Hello it found.
        OnHello();
        return;
    }
    const std::uint32_t id = frame.streamId;
    auto found = streams_.find(id);
    Stream* stream = found == streams_.end() ? nullptr : &found->second;
    switch (static_cast<FrameType>(frame.type)) {
    case FrameType::Pong:
        return;
    case FrameType::Opened: {
        if (stream == nullptr || stream->opened) Unexpected(frame);
        stream->opened = true;
        --opensUnanswered_;
        lastAnswerMs_ = clock_.NowMs();
        openingFree_ = true;
        if (stream->localGone) {
            End(id, *stream, "its client closed the connection");
            return;
        }
        std::string label = PayloadText(frame);
        Say("stream " + std::to_string(id) + " opened" + (label.empty() ? "" : ": " + label));
        return;
    }
    case FrameType::OpenFailed:
        if (stream == nullptr || stream->opened) Unexpected(frame);
        OnOpenFailed(id, *stream, PayloadText(frame));
        return;
    case FrameType::Data:
        // Frames for a stream this side has already closed are still in flight; they are dropped.
        if (stream == nullptr || !stream->opened || stream->closeSent || stream->bridgeClosed || stream->bridgeEof)
            return;
        if (frame.length == 0 || stream->writeFailed) return;
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

void BridgeSession::AcceptConnections(const Listener& listener) {
    for (int turn = 0; turn < kAcceptsPerTurn && streamsAtBridge_ + held_.size() < options_.maxStreams; ++turn) {
        int fd = accept(listener.Fd(), nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN, or out of descriptors: the connection stays in the backlog
        }
        UniqueFd socket(fd);
        if (!Admits(fd, listener)) continue;  // closed at once, its input unread
        PrepareLocalSocket(fd);
        held_.push_back(Waiting{std::move(socket), clock_.NowMs()});
    }
}

// The user's programs are served, and root's, which could act as the user
// anyway. A Unix socket the forwarder made is the user's alone, but one that a
// service manager passes may be open to others.
bool BridgeSession::Admits(int fd, const Listener& listener) {
    if (options_.allowOtherUsers) return true;
    const PeerUser peer = LocalPeerUser(fd);
    switch (peer.kind) {
    case PeerUser::Kind::Known:
        if (peer.uid == geteuid() || peer.uid == 0) return true;
        Say("refused a connection to " + listener.Name() + " from user " + std::to_string(peer.uid));
        break;
    case PeerUser::Kind::Remote:
    case PeerUser::Kind::Untold:
        return true;
    case PeerUser::Kind::Unknown:
        Say("refused a connection to " + listener.Name() + ": its user could not be learned");
        break;
    }
    if (!refusalShown_) {
        refusalShown_ = true;
        output_.problem("A connection to " + listener.Name() +
                        (peer.kind == PeerUser::Kind::Known ? " from another user was refused"
                                                            : " was refused because its user could not be learned") +
                        "; --allow-other-users lets every user of this machine connect.");
    }
    return false;
}

void BridgeSession::OnLocalReadable(std::uint32_t id, Stream& stream, short revents) {
    bool reading = stream.opened && !stream.localEnded && !stream.localGone && !stream.closeSent &&
                   !stream.bridgeClosed && link_->QueuedFor(id) < options_.streamBufferLimit;
    if (!reading) {
        if (!Has(revents, kHangup)) return;
        stream.hangupSeen = true;
        // It has sent its last byte and now closed: nothing can reach it.
        if (stream.opened && stream.localEnded) LocalGone(id, stream);
        return;
    }
    localBlock_.resize(kLocalReadBlock);  // see session.h
    for (int turn = 0; turn < kLocalReadsPerTurn && link_->QueuedFor(id) < options_.streamBufferLimit; ++turn) {
        ssize_t got = read(stream.socket.get(), localBlock_.data(), localBlock_.size());
        if (got > 0) {
            link_->Send(FrameType::Data, id, localBlock_.data(), static_cast<std::size_t>(got), id);
            if (static_cast<std::size_t>(got) < localBlock_.size()) return;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (got == 0 && !Has(revents, POLLHUP) && !stream.hangupSeen && !stream.writeFailed) {
            // The local side sends no more. It may still read (a half-close),
            // or it may have closed for good: a Unix socket shows that as a
            // hang-up, TCP shows both alike until something is written to it.
            // The stream stays for what the pipe sends; a TCP client that is
            // not seen to hold its socket still gets the linger time.
            stream.localEnded = true;
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
    while (!stream.toLocal.Empty() && stream.socket) {
        ssize_t sent = send(stream.socket.get(), stream.toLocal.Front(), stream.toLocal.Size(), kSendFlags);
        if (sent > 0) {
            stream.toLocal.Drop(static_cast<std::size_t>(sent));
            progress = true;
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        // Nothing more reaches it, but what it sent before is still to be
        // read and delivered; the Close follows the end of its input.
        stream.writeFailed = true;
        stream.toLocal = ByteQueue();
        stream.stalledSinceMs = -1;
        if (stream.bridgeClosed) {
            Say("stream " + std::to_string(id) + " ended: its client could not be written to");
            Forget(id);
        } else if (stream.localEnded || stream.hangupSeen) {
            LocalGone(id, stream);
        }
        return;
    }
    if (progress) {
        stream.stalledSinceMs = stream.toLocal.Size() >= options_.streamBufferLimit ? clock_.NowMs() : -1;
        if (stream.localEnded) stream.quietSinceMs = clock_.NowMs();
    }
    if (!stream.toLocal.Empty()) return;
    if (stream.bridgeClosed) {
        Say("stream " + std::to_string(id) + " ended: the pipe's server closed it");
        Forget(id);
        return;
    }
    if (stream.bridgeEof && !stream.writeShut && stream.socket) {
        shutdown(stream.socket.get(), SHUT_WR);
        stream.writeShut = true;
    }
}

void BridgeSession::RunTimers() {
    std::int64_t now = clock_.NowMs();
    if (link_ && !helloSeen_ && now >= helloDueMs_) NoHello(link_->Greeting(), options_.helloLimitMs);
    if (!held_.empty() && now - held_.front().sinceMs >= options_.heldLimitMs) {
        std::size_t expired = 0;
        while (!held_.empty() && now - held_.front().sinceMs >= options_.heldLimitMs) {
            Retire(std::move(held_.front().socket), false);
            held_.pop_front();
            ++expired;
        }
        output_.problem(std::to_string(expired) + (expired == 1 ? " connection" : " connections") + " waited " +
                        std::to_string(options_.heldLimitMs / 1000) + " seconds for the bridge and " +
                        (expired == 1 ? "was" : "were") + " closed.");
    }
    draining_.erase(std::remove_if(draining_.begin(), draining_.end(),
                                   [&](const Draining& drain) { return now >= drain.untilMs; }),
                    draining_.end());
    for (auto it = streams_.begin(); it != streams_.end();) {
        std::uint32_t id = it->first;
        Stream& stream = it->second;
        ++it;  // the stream may end here
        if (stream.opened && stream.localEnded && !stream.unixSocket && !stream.closeSent && !stream.bridgeClosed &&
            stream.toLocal.Empty() && now - stream.quietSinceMs >= options_.lingerMs) {
            PeerState peer = options_.peerState(stream.socket.get());
            if (peer == PeerState::Open) {
                stream.quietSinceMs = now;  // still reading: look again later
            } else {
                End(id, stream, peer == PeerState::Closed ? "its client closed the connection"
                                                          : "its client ended its input and the pipe sent nothing more");
                continue;
            }
        }
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
    if (link_) link_->Tick(ChannelPaused());
    RunTimers();

    enum class Kind { Stop, ErrorText, ChannelIn, ChannelOut, Listener, Stream, Drain };
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
    if (link_ && errorText_ != nullptr && errorText_->Fd() >= 0) watch(errorText_->Fd(), POLLIN, Kind::ErrorText, 0);
    const bool paused = ChannelPaused();
    if (link_ && !paused && link_->WantsRead()) watch(link_->InFd(), POLLIN, Kind::ChannelIn, 0);
    if (link_ && link_->WantsWrite()) watch(link_->OutFd(), POLLOUT, Kind::ChannelOut, 0);
    if (streamsAtBridge_ + held_.size() < options_.maxStreams)
        for (std::uint32_t i = 0; i < listeners_.size(); ++i) watch(listeners_[i]->Fd(), POLLIN, Kind::Listener, i);
    for (auto& [id, stream] : streams_) {
        if (!stream.socket) continue;
        short events = 0;
        if (stream.opened && !stream.localEnded && !stream.closeSent && !stream.bridgeClosed &&
            link_->QueuedFor(id) < options_.streamBufferLimit)
            events |= POLLIN;
        if (!stream.toLocal.Empty()) events |= POLLOUT;
        // A hang-up is reported whatever is asked; one already noted would
        // only wake the loop again and again.
        if (events == 0 && stream.hangupSeen) continue;
        watch(stream.socket.get(), events, Kind::Stream, id);
    }
    for (std::uint32_t i = 0; i < draining_.size(); ++i)
        if (draining_[i].untilMs != 0) watch(draining_[i].socket.get(), POLLIN, Kind::Drain, i);

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
            if (!link_->ReadSome()) channelEnded = true;
            if (options_.verbose) ShowGreeting(link_->Greeting(), greetingShown_, output_);
            break;
        case Kind::ChannelOut:
            if (!link_->WriteSome()) return SessionEnd::ChannelClosed;
            break;
        case Kind::Listener:
            AcceptConnections(*listeners_[target.index]);
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
        case Kind::Drain:
            OnDrainReadable(target.index);
            break;
        }
    }

    // Frames held while the channel was paused are handled as soon as it is not.
    while (link_ && !ChannelPaused()) {
        FrameView frame;
        ParseStatus status = link_->Parse(frame);
        if (status == ParseStatus::NeedMore) break;
        if (status != ParseStatus::Ok) Invalid();
        Dispatch(frame);
        link_->Consume();
    }
    if (!link_) return std::nullopt;
    if (channelEnded) return SessionEnd::ChannelClosed;
    SendWaitingOpens();
    if (link_->WantsWrite() && !link_->WriteSome()) return SessionEnd::ChannelClosed;
    std::int64_t now = clock_.NowMs();
    if (!streams_.empty() || !held_.empty()) {
        idleSinceMs_ = -1;
    } else if (idleSinceMs_ < 0) {
        idleSinceMs_ = now;
    } else if (helloSeen_ && options_.idleEndMs >= 0 && now - idleSinceMs_ >= options_.idleEndMs) {
        return SessionEnd::Idle;
    }
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
      helloDueMs_(clock.NowMs() + options_.helloLimitMs),
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
    link_.NoteArrival();
    if (!helloSeen_) {
        // The channel link hands on nothing before the Hello it found.
        OnHello();
        return;
    }
    std::size_t index = frame.streamId - std::size_t{1};
    bool known = frame.streamId != 0 && index < pipes_.size();
    switch (static_cast<FrameType>(frame.type)) {
    case FrameType::Pong:
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
    if (!helloSeen_) {
        if (clock_.NowMs() >= helloDueMs_) NoHello(link_.Greeting(), options_.helloLimitMs);
    }
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
    std::int64_t next = helloSeen_ ? link_.NextTimerMs() : Earliest(link_.NextTimerMs(), helloDueMs_);
    int ready = poll(fds.data(), fds.size(), WaitFor(next, clock_.NowMs(), maxWaitMs));
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
