#pragma once
// The bridge-mode session: local connections carried as streams over one
// channel. The listeners and the connections waiting for a stream outlive a
// channel, so that a new channel can be attached after one is lost.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "byte_queue.h"
#include "listen_address.h"
#include "session.h"
#include "stream_ids.h"
#include "unique_fd.h"

// The most read from a local socket at once, sent as one Data frame. The
// bridge writes each frame to its pipe in one transfer, and under Wine every
// transfer is a server round trip, so frames well above the bridge's own
// 32 KiB pay off. A stream may hold this much beyond its bound.
inline constexpr std::size_t kLocalReadBlock = 262144;

// The bridge's sentence for a failed Open, for the user: the pipe named (or
// "the pipe" when `pipe` is empty) and its two common Windows errors in words.
std::string OpenFailedMessage(const std::string& pipe, const std::string& sentence);

// A stream's two directions, each a state machine of its own; bridge_stream.cpp
// holds every transition and the frames it sends.
// The local client's bytes towards the bridge.
enum class Upstream : std::uint8_t {
    Opening,  // Open sent and not answered: nothing is read yet
    Reading,  // what the client sends goes out as Data
    Ended,    // the client sent its last byte and Eof went out; it may still read
};
// The bridge's bytes towards the local client.
enum class Downstream : std::uint8_t {
    Writing,   // Data from the bridge is queued and written
    Draining,  // the bridge sent Eof: the queue is written, then the socket shut for writing
    Shut,      // the client has been given its end
    Closing,   // the bridge forgot the stream: the queue is written, then the stream is forgotten
    Failed,    // nothing more reaches the client: its input is read to its end, then Close
};

class BridgeSession : public SessionLoop {
public:
    // Attaches `io` at once when it names a channel (channelIn >= 0).
    BridgeSession(SessionIo io, std::vector<ListenAddress> addresses, SessionOptions options, Clock& clock,
                  SessionOutput output);
    ~BridgeSession() override;

    // A new channel; the bridge's Hello is awaited on it.
    void Attach(SessionIo io);
    // Listening before any channel, on the given addresses (once), or on
    // sockets made elsewhere. Throws ProgramError when a listener cannot be opened.
    void OpenListeners();
    void AdoptListeners(std::vector<std::unique_ptr<Listener>> listeners);
    // Forgets the channel: every stream's local connection is closed; the
    // listeners stay, and connections accepted from now on wait for the next
    // channel (at most heldLimitMs).
    void Detach();

    // For tests and benchmarks: what the session holds now.
    bool Listening() const { return !listeners_.empty(); }
    std::vector<std::string> ListenerNames() const;
    std::size_t StreamsAtBridge() const { return streamsAtBridge_; }
    std::size_t LocalConnections() const { return streams_.size(); }
    std::size_t WaitingConnections() const { return held_.size(); }
    std::size_t DrainingConnections() const;
    std::size_t HeldForLocal() const;  // bridge data waiting for local readers
    std::size_t UnparsedInput() const { return link_ ? link_->UnparsedBytes() : 0; }

private:
    struct Stream {
        UniqueFd socket;
        Upstream up = Upstream::Opening;
        Downstream down = Downstream::Writing;
        bool unixSocket = false;  // a Unix socket shows its peer's close as a hang-up
        bool hangupSeen = false;  // poll reported a hang-up: the client's input has ended
        int openAttempts = 1;
        std::int64_t openSentMs = 0;
        std::int64_t quietSinceMs = 0;  // once Ended: when the pipe last sent something
        std::int64_t stalledSinceMs = -1;
        ByteQueue toLocal;
        bool Opened() const { return up != Upstream::Opening; }
    };
    // An accepted connection whose Open has not been sent yet.
    struct Waiting {
        UniqueFd socket;
        std::int64_t sinceMs;
    };
    struct Draining {
        UniqueFd socket;
        std::int64_t untilMs;
        std::size_t left;
    };

    void OnHello() override;
    void OnFrame(const FrameView& frame) override;
    bool Paused() const override;
    void RunTimers() override;
    std::int64_t NextTimerMs() const override;
    void AddWatches(std::vector<Watched>& watched) override;
    void OnReady(const Watched& watched, short revents) override;
    std::optional<SessionEnd> AfterFrames(bool channelEnded) override;

    // bridge_stream.cpp: the two machines.
    void OnStreamFrame(const FrameView& frame, Stream& stream);
    void OnOpenFailed(std::uint32_t id, Stream& stream, const std::string& sentence);
    void OnLocalReadable(std::uint32_t id, Stream& stream, short revents);
    void OnLocalWritable(std::uint32_t id, Stream& stream);
    short LocalEvents(std::uint32_t id, const Stream& stream) const;
    void RunStreamTimers(std::int64_t now);
    void LocalGone(std::uint32_t id, Stream& stream);
    // Ends the stream on this side, with Close to the bridge while it holds the
    // stream; says why under -v (`why` may be null when said otherwise).
    void End(std::uint32_t id, Stream& stream, const char* why);

    void OnDrainReadable(std::size_t index);
    void AcceptConnections(const Listener& listener);
    // Whether a connection just accepted on `listener` may be served; says why not.
    bool Admits(int fd, const Listener& listener);
    // Where this system cannot tell who connects to a TCP port, says so.
    void WarnOfOpenTcpListeners() const;
    bool MaySendOpen() const;
    void SendWaitingOpens();
    // Closes the waiting connections that arrived by `arrivedBy` (all by
    // default); returns how many there were.
    std::size_t CloseWaiting(std::int64_t arrivedBy = INT64_MAX);
    void ExpireWaiting(std::int64_t now);
    void Forget(std::uint32_t id);
    // Closes a local socket; one whose input may still hold data is drained first.
    void Retire(UniqueFd socket, bool inputEnded);

    std::vector<ListenAddress> addresses_;
    // Opens go out freely only after the bridge has opened the pipe; until
    // then, and after a failure, one Open probes while new connections wait.
    bool openingFree_ = false;
    std::size_t opensUnanswered_ = 0;
    std::int64_t lastAnswerMs_ = 0;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<std::uint32_t, Stream> streams_;
    std::deque<Waiting> held_;
    std::vector<Draining> draining_;  // a closed one waits for RunTimers to drop it
    bool refusalShown_ = false;       // the sentence naming --allow-other-users
    StreamIdAllocator ids_;
    std::size_t streamsAtBridge_ = 0;
    std::int64_t idleSinceMs_ = -1;         // since when nothing has been carried or waited
    std::vector<std::uint8_t> localBlock_;  // one local read at a time
};
