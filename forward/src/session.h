#pragma once
// The two kinds of forwarder session over one bridge channel, each one
// single-threaded: every turn polls the channel, the listeners and the local
// connections, moves what can move without blocking, and runs the timers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "byte_queue.h"
#include "channel_link.h"
#include "clock.h"
#include "listen_address.h"
#include "peer_state.h"
#include "stream_ids.h"
#include "unique_fd.h"

// The most read from a local socket at once, sent as one Data frame. The
// bridge writes each frame to its pipe in one transfer, and under Wine every
// transfer is a server round trip, so frames well above the bridge's own
// 32 KiB pay off. A stream may hold this much beyond its bound.
inline constexpr std::size_t kLocalReadBlock = 262144;

struct SessionOptions {
    bool verbose = false;
    KeepAliveTiming keepAlive;
    // Per stream and direction: the most data held before the forwarder stops
    // reading the side it comes from.
    std::size_t streamBufferLimit = 1048576;
    // A local reader that takes nothing for this long while its stream is at
    // the bound is cut off, so that it cannot hold up the other streams.
    std::int64_t stalledReaderMs = 30000;
    std::size_t maxStreams = 64;
    std::uint32_t lastStreamId = 0;  // the first stream gets the next ID
    int maxOpenRetries = 4;
    // After a TCP client ends its input: how long its stream stays open while
    // nothing comes from the pipe (the bridge cannot pass the end on), unless
    // the client is seen to hold its socket still (then this is how often it
    // is looked at again) or to have closed it.
    std::int64_t lingerMs = 500;
    PeerState (*peerState)(int fd) = LocalPeerState;
    // Serve connections from other users' programs too. Otherwise a connection
    // whose peer the system names as neither the user nor root is closed at once.
    bool allowOtherUsers = false;
    // The pipe named in messages; empty when only the command knows it.
    std::string pipe;
    // While an Open has gone unanswered this long, new connections wait for
    // its answer instead of queueing behind it at the bridge.
    std::int64_t openProbeMs = 1000;
    // The longest a connection waits for its Open to be sent.
    std::int64_t heldLimitMs = 30000;
    // The longest the bridge may take to say Hello.
    std::int64_t helloLimitMs = 60000;
    // A socket closed with its input unread is first shut for writing and its
    // input read and dropped for at most this long and this much, so that its
    // peer gets a clean end rather than a reset that can destroy the last
    // data on its way to it.
    std::int64_t drainMs = 2000;
    std::size_t drainBytes = 1048576;
    // Each holds a descriptor: past this many the oldest is closed at once.
    std::size_t drainConnections = 64;
    // With a channel and no connection for this long, Step reports Idle (-1: never).
    std::int64_t idleEndMs = -1;
};

// Where the session's text goes: `problem` gets sentences for standard error
// (without the program's name), `line` the lines of the watch report.
struct SessionOutput {
    std::function<void(const std::string&)> problem;
    std::function<void(const std::string&)> line;
};

// The channel and what else the poll loop watches besides it.
struct SessionIo {
    int channelIn = -1;   // the command's standard output
    int channelOut = -1;  // the command's standard input
    int stopFd = -1;      // readable once the user asks the forwarder to stop
    int commandErrorFd = -1;  // the command's standard error, if it is to be collected
};

enum class SessionEnd { Stopped, ChannelClosed, Idle };

// The bridge's sentence for a failed Open, for the user: the pipe named (or
// "the pipe" when `pipe` is empty) and its two common Windows errors in words.
std::string OpenFailedMessage(const std::string& pipe, const std::string& sentence);

// The command's standard error: complete lines are kept (the last one for the
// report when the command ends) and, in verbose mode, passed on as they come.
class CommandErrorText {
public:
    explicit CommandErrorText(int fd, bool echo, std::function<void(const std::string&)> problem)
        : fd_(fd), echo_(echo), problem_(std::move(problem)) {}
    int Fd() const { return open_ ? fd_ : -1; }
    // Reads what is there; false at its end.
    bool ReadSome();
    // The last non-empty line, or the unfinished text after it.
    std::string LastLine() const;

private:
    int fd_;
    bool echo_;
    bool open_ = true;
    std::function<void(const std::string&)> problem_;
    std::string partial_;
    std::string last_;
};

// The bridge-mode session: local connections carried as streams over one
// channel. The listeners and the connections waiting for a stream outlive a
// channel, so that a new channel can be attached after one is lost.
class BridgeSession {
public:
    // Attaches `io` at once when it names a channel (channelIn >= 0).
    BridgeSession(SessionIo io, std::vector<ListenAddress> addresses, SessionOptions options, Clock& clock,
                  SessionOutput output);
    ~BridgeSession();

    // A new channel; the bridge's Hello is awaited on it. `io.stopFd` is kept
    // from the constructor.
    void Attach(SessionIo io);
    // Listening before any channel, on the given addresses (once), or on
    // sockets made elsewhere.
    void OpenListeners();
    void AdoptListeners(std::vector<std::unique_ptr<Listener>> listeners);
    // Forgets the channel: every stream's local connection is closed; the
    // listeners stay, and connections accepted from now on wait for the next
    // channel (at most heldLimitMs).
    void Detach();

    // One turn, waiting at most `maxWaitMs` for something to happen. Returns
    // how the channel ended, or nothing while it goes on. Throws ProgramError
    // when the bridge breaks the protocol, stops answering or does not start,
    // or a listener cannot be opened.
    std::optional<SessionEnd> Step(int maxWaitMs);
    SessionEnd Run();

    bool HelloSeen() const { return helloSeen_; }
    // What the remote side printed before the bridge's Hello.
    std::string Greeting() const { return link_ ? link_->Greeting() : std::string(); }

    // For tests and benchmarks: what the session holds now.
    bool Listening() const { return !listeners_.empty(); }
    std::vector<std::string> ListenerNames() const;
    std::size_t StreamsAtBridge() const { return streamsAtBridge_; }
    std::size_t LocalConnections() const { return streams_.size(); }
    std::size_t WaitingConnections() const { return held_.size(); }
    std::size_t DrainingConnections() const;
    std::size_t HeldForLocal() const;  // bridge data waiting for local readers
    std::size_t HeldForBridge() const { return link_ ? link_->QueuedBytes() : 0; }
    std::size_t UnparsedInput() const { return link_ ? link_->UnparsedBytes() : 0; }
    void SetCommandErrorText(CommandErrorText* text) { errorText_ = text; }

private:
    struct Stream {
        UniqueFd socket;
        bool opened = false;        // the bridge answered Opened
        std::int64_t openSentMs = 0;
        int openAttempts = 1;
        bool unixSocket = false;    // a Unix socket shows its peer's close as a hang-up
        bool localEnded = false;    // the local side sent its last byte (Eof sent)
        bool writeFailed = false;   // nothing more reaches the local side: read it to its end, then Close
        bool localGone = false;     // the local side is closed: Close is due once opened
        bool hangupSeen = false;    // poll reported a hang-up not yet acted upon
        bool bridgeEof = false;     // the bridge sent Eof: shut down our writing once drained
        bool writeShut = false;
        bool bridgeClosed = false;  // the bridge forgot the stream: close once drained
        bool closeSent = false;
        std::int64_t quietSinceMs = 0;  // once localEnded: when the pipe last sent something
        ByteQueue toLocal;
        std::int64_t stalledSinceMs = -1;
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

    void OnHello();
    void Dispatch(const FrameView& frame);
    void OnOpenFailed(std::uint32_t id, Stream& stream, const std::string& sentence);
    void OnLocalReadable(std::uint32_t id, Stream& stream, short revents);
    void OnLocalWritable(std::uint32_t id, Stream& stream);
    void OnDrainReadable(std::size_t index);
    void AcceptConnections(const Listener& listener);
    // Whether a connection just accepted on `listener` may be served; says why not.
    bool Admits(int fd, const Listener& listener);
    // Where this system cannot tell who connects to a TCP port, says so.
    void WarnOfOpenTcpListeners() const;
    bool MaySendOpen() const;
    void SendWaitingOpens();
    // Closes every waiting connection; returns how many there were.
    std::size_t CloseWaiting();
    // Sends Close for a stream the bridge still holds and stops counting it there.
    void EndAtBridge(std::uint32_t id, Stream& stream);
    void LocalGone(std::uint32_t id, Stream& stream);
    // Ends the stream on this side (Close to the bridge where due), saying why under -v.
    void End(std::uint32_t id, Stream& stream, const char* why);
    void Forget(std::uint32_t id);
    // Closes a local socket; one whose input may still hold data is drained first.
    void Retire(UniqueFd socket, bool inputEnded);
    bool ChannelPaused() const;
    void RunTimers();
    std::int64_t NextTimerMs() const;
    void Say(const std::string& text) const {
        if (options_.verbose) output_.problem(text);
    }

    SessionIo io_;
    std::vector<ListenAddress> addresses_;
    SessionOptions options_;
    Clock& clock_;
    SessionOutput output_;
    std::unique_ptr<ChannelLink> link_;
    CommandErrorText* errorText_ = nullptr;
    bool helloSeen_ = false;
    std::int64_t helloDueMs_ = 0;
    std::size_t greetingShown_ = 0;
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
    std::int64_t idleSinceMs_ = -1;  // since when nothing has been carried or waited
    std::vector<std::uint8_t> localBlock_;  // one local read at a time
};

// The service-mode session: watches pipes and reports each change of state as
// one line "PIPE available|absent|undetermined"; a refused watch gives
// "PIPE refused: SENTENCE".
class WatchSession {
public:
    WatchSession(SessionIo io, std::vector<std::string> pipes, SessionOptions options, Clock& clock,
                 SessionOutput output);

    std::optional<SessionEnd> Step(int maxWaitMs);
    SessionEnd Run();
    std::size_t ActiveWatches() const { return active_; }
    bool HelloSeen() const { return helloSeen_; }
    std::string Greeting() const { return link_.Greeting(); }
    void SetCommandErrorText(CommandErrorText* text) { errorText_ = text; }

private:
    void OnHello();
    void Dispatch(const FrameView& frame);

    SessionIo io_;
    std::vector<std::string> pipes_;
    SessionOptions options_;
    Clock& clock_;
    SessionOutput output_;
    ChannelLink link_;
    CommandErrorText* errorText_ = nullptr;
    bool helloSeen_ = false;
    std::int64_t helloDueMs_ = 0;
    std::vector<bool> pending_;  // by watch ID - 1: sent, not yet answered
    std::vector<bool> watching_;
    std::size_t active_ = 0;
};
