#include "bridge_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "activation/connect_pipe.h"
#include "os/system_codes.h"
#include "text/error_text.h"
#include "text/program_error.h"

namespace {

// So that a stream of connections that are refused cannot hold up the loop.
constexpr int kAcceptsPerTurn = 64;
enum Kind { kListener, kStream, kDrain };

bool PrepareLocalSocket(int fd) {
#ifdef SO_NOSIGPIPE
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return false;
#endif
    return KeepToSelf(fd);
}

}  // namespace

std::string OpenFailedMessage(const std::string& pipe, const std::string& sentence) {
    std::string what = pipe.empty() ? "the pipe" : pipe;
    if (sentence == WithWindowsError(kPipeUnavailableMessage, kErrorFileNotFound))
        return "Could not open " + what + ": no server is running for it (Windows error 2).";
    if (sentence == WithWindowsError(kPipeUnavailableMessage, kErrorPipeBusy))
        return "Could not open " + what + ": every instance of it is busy (Windows error 231).";
    return "Could not open " + what + ": " + sentence;
}

BridgeSession::BridgeSession(SessionIo io, std::vector<ListenAddress> addresses, SessionOptions options, Clock& clock,
                             SessionOutput output)
    : SessionLoop(io.stopFd, std::move(options), clock, std::move(output)),
      addresses_(std::move(addresses)),
      ids_(options_.lastStreamId) {
    if (io.channelIn >= 0) Attach(io);
}

BridgeSession::~BridgeSession() = default;

void BridgeSession::Attach(SessionIo io) {
    AttachChannel(io.channelIn, io.channelOut);
    openingFree_ = false;
    opensUnanswered_ = 0;
    idleSinceMs_ = clock_.NowMs();
}

void BridgeSession::Detach() {
    while (!streams_.empty()) {
        auto it = streams_.begin();
        Say("stream " + std::to_string(it->first) + " ended: the session ended");
        Retire(std::move(it->second.socket), it->second.up == Upstream::Ended);
        Forget(it->first);
    }
    streamsAtBridge_ = 0;
    opensUnanswered_ = 0;
    DetachChannel();
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
bool BridgeSession::Paused() const {
    for (const auto& [id, stream] : streams_)
        if (stream.toLocal.Size() >= options_.streamBufferLimit) return true;
    return false;
}

std::int64_t BridgeSession::NextTimerMs() const {
    std::int64_t next = -1;
    if (link_ && options_.idleEndMs >= 0 && idleSinceMs_ >= 0) next = idleSinceMs_ + options_.idleEndMs;
    if (!held_.empty()) next = Earliest(next, held_.front().sinceMs + options_.heldLimitMs);
    for (const Draining& drain : draining_) next = Earliest(next, drain.untilMs);
    for (const auto& [id, stream] : streams_) {
        if (stream.stalledSinceMs >= 0) next = Earliest(next, stream.stalledSinceMs + options_.stalledReaderMs);
        if (stream.up == Upstream::Ended && !stream.unixSocket && stream.toLocal.Empty())
            next = Earliest(next, stream.quietSinceMs + options_.lingerMs);
    }
    return next;
}

void BridgeSession::OnHello() { OpenListeners(); }

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
        Retire(std::move(stream.socket), stream.up == Upstream::Ended || stream.hangupSeen);
        streams_.erase(found);
    }
    ids_.Release(id);
}

void BridgeSession::Retire(UniqueFd socket, bool inputEnded) {
    if (!socket || inputEnded) return;  // with its input ended, closing it sends a plain end
    if (DrainingConnections() >= options_.drainConnections) {
        auto oldest =
            std::find_if(draining_.begin(), draining_.end(), [](const Draining& drain) { return drain.socket.held(); });
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
        if (got < 0 && WouldBlock()) return;
        if (got <= 0 || static_cast<std::size_t>(got) >= drain.left) break;
        drain.left -= static_cast<std::size_t>(got);
    }
    drain.untilMs = 0;  // done: RunTimers closes it
}

bool BridgeSession::MaySendOpen() const {
    if (!link_ || !HelloSeen()) return false;
    if (!openingFree_) return opensUnanswered_ == 0;
    // The bridge opens one pipe at a time: an Open it has not answered for a
    // while, with no other answer meanwhile, means it is waiting for the pipe.
    std::int64_t now = clock_.NowMs();
    for (const auto& [id, stream] : streams_)
        if (!stream.Opened() && now - std::max(stream.openSentMs, lastAnswerMs_) >= options_.openProbeMs) return false;
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

std::size_t BridgeSession::CloseWaiting(std::int64_t arrivedBy) {
    std::size_t count = 0;
    for (; !held_.empty() && held_.front().sinceMs <= arrivedBy; ++count) {
        Retire(std::move(held_.front().socket), false);
        held_.pop_front();
    }
    return count;
}

void BridgeSession::ExpireWaiting(std::int64_t now) {
    const std::size_t expired = CloseWaiting(now - options_.heldLimitMs);
    if (expired == 0) return;
    output_.problem(std::to_string(expired) + (expired == 1 ? " connection" : " connections") + " waited " +
                    std::to_string(options_.heldLimitMs / 1000) + " seconds for the bridge and " +
                    (expired == 1 ? "was" : "were") + " closed.");
}

void BridgeSession::OnFrame(const FrameView& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    if (type != FrameType::Opened && type != FrameType::OpenFailed && type != FrameType::Data &&
        type != FrameType::Eof && type != FrameType::Close)
        UnexpectedFrame(frame);
    auto found = streams_.find(frame.streamId);
    if (found != streams_.end()) {
        OnStreamFrame(frame, found->second);
    } else if (type == FrameType::Opened || type == FrameType::OpenFailed) {
        UnexpectedFrame(frame);
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
        // Closed at once, its input unread: refused, or a socket the system would not set up.
        if (!Admits(fd, listener) || !PrepareLocalSocket(fd)) continue;
        held_.push_back(Waiting{std::move(socket), clock_.NowMs()});
    }
}
// The user's programs are served, and root's, which could act as the user
// anyway. A Unix socket the forwarder made is the user's alone, but one that a
// service manager passes may be open to others.
bool BridgeSession::Admits(int fd, const Listener& listener) {
    if (options_.allowOtherUsers) return true;
    const PeerUser peer = LocalPeerUser(fd);
    const bool known = peer.kind == PeerUser::Kind::Known;
    if (peer.kind == PeerUser::Kind::Remote || peer.kind == PeerUser::Kind::Untold ||
        (known && (peer.uid == geteuid() || peer.uid == 0)))
        return true;
    Say("refused a connection to " + listener.Name() +
        (known ? " from user " + std::to_string(peer.uid) : ": its user could not be learned"));
    if (!refusalShown_) {
        refusalShown_ = true;
        output_.problem(
            "A connection to " + listener.Name() +
            (known ? " from another user was refused" : " was refused because its user could not be learned") +
            "; --allow-other-users lets every user of this machine connect.");
    }
    return false;
}

void BridgeSession::RunTimers() {
    std::int64_t now = clock_.NowMs();
    ExpireWaiting(now);
    draining_.erase(
        std::remove_if(draining_.begin(), draining_.end(), [&](const Draining& drain) { return now >= drain.untilMs; }),
        draining_.end());
    RunStreamTimers(now);
}

void BridgeSession::AddWatches(std::vector<Watched>& watched) {
    if (streamsAtBridge_ + held_.size() < options_.maxStreams)
        for (std::uint32_t i = 0; i < listeners_.size(); ++i)
            watched.push_back({listeners_[i]->Fd(), POLLIN, kListener, i});
    for (auto& [id, stream] : streams_) {
        short events = LocalEvents(id, stream);
        // A hang-up is reported whatever is asked; one already noted would
        // only wake the loop again and again.
        if (events == 0 && stream.hangupSeen) continue;
        watched.push_back({stream.socket.get(), events, kStream, id});
    }
    for (std::uint32_t i = 0; i < draining_.size(); ++i)
        if (draining_[i].untilMs != 0) watched.push_back({draining_[i].socket.get(), POLLIN, kDrain, i});
}

void BridgeSession::OnReady(const Watched& watched, short revents) {
    if (watched.kind == kListener) return AcceptConnections(*listeners_[watched.index]);
    if (watched.kind == kDrain) return OnDrainReadable(watched.index);
    auto found = streams_.find(watched.index);
    if (found != streams_.end() && (revents & (POLLOUT | POLLERR)) != 0) OnLocalWritable(watched.index, found->second);
    found = streams_.find(watched.index);
    if (found != streams_.end() && (revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        OnLocalReadable(watched.index, found->second, revents);
}

std::optional<SessionEnd> BridgeSession::AfterFrames(bool channelEnded) {
    if (channelEnded) return std::nullopt;
    SendWaitingOpens();
    std::int64_t now = clock_.NowMs();
    if (!streams_.empty() || !held_.empty()) {
        idleSinceMs_ = -1;
    } else if (idleSinceMs_ < 0) {
        idleSinceMs_ = now;
    } else if (HelloSeen() && options_.idleEndMs >= 0 && now - idleSinceMs_ >= options_.idleEndMs) {
        return SessionEnd::Idle;
    }
    return std::nullopt;
}
