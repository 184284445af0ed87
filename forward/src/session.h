#pragma once
// What both kinds of forwarder session share: their options, and the one
// poll loop that owns the channel, the stop signal, the command's standard
// error and the timers. A bridge session and a watch session are its two
// handlers; each turn moves what can move without blocking.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel_link.h"
#include "clock.h"
#include "command.h"
#include "peer_state.h"

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
    // is looked at again) or to have closed it. socat's -t for a full close
    // that cannot be told from a half-close waits half a second: long enough
    // for data already on its way back to arrive, short enough that a client
    // that closed for good does not hold a stream.
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
};

enum class SessionEnd { Stopped, ChannelClosed, Idle };

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

// After its channel ended: waits for `command` to exit, killing it if it
// lingers, and for its last words in `errors`. Returns the wait status.
int ReapCommand(Command& command, CommandErrorText& errors);

// The loop both sessions run. A turn ticks the keep-alive and the timers,
// polls the stop signal, the command's standard error, the channel and what
// the handler adds, and hands each whole frame after the bridge's Hello to
// the handler.
class SessionLoop {
public:
    SessionLoop(const SessionLoop&) = delete;
    SessionLoop& operator=(const SessionLoop&) = delete;

    // One turn, waiting at most `maxWaitMs` for something to happen. Returns
    // how the channel ended, or nothing while it goes on. Throws ProgramError
    // when the bridge breaks the protocol, stops answering or does not start.
    std::optional<SessionEnd> Step(int maxWaitMs);
    SessionEnd Run();

    bool HelloSeen() const { return helloSeen_; }
    // What the remote side printed before the bridge's Hello.
    std::string Greeting() const { return link_ ? link_->Greeting() : std::string(); }
    void SetCommandErrorText(CommandErrorText* text) { errorText_ = text; }

protected:
    // A descriptor a handler adds to the turn's poll, and what it is to it.
    struct Watched {
        int fd;
        short events;
        int kind;
        std::uint32_t index;
    };

    SessionLoop(int stopFd, SessionOptions options, Clock& clock, SessionOutput output);
    virtual ~SessionLoop();

    // A new channel, on which the bridge's Hello is awaited; and its end.
    void AttachChannel(int in, int out);
    void DetachChannel();
    void Say(const std::string& text) const {
        if (options_.verbose) output_.problem(text);
    }

    virtual void OnHello() = 0;
    // A frame after the Hello other than Pong.
    virtual void OnFrame(const FrameView& frame) = 0;
    // While true, the channel is not read (a local reader is a bound behind).
    virtual bool Paused() const { return false; }
    virtual void RunTimers() {}
    virtual std::int64_t NextTimerMs() const { return -1; }
    virtual void AddWatches(std::vector<Watched>&) {}
    virtual void OnReady(const Watched&, short) {}
    // After the frames of a turn; may end the session.
    virtual std::optional<SessionEnd> AfterFrames(bool channelEnded) = 0;

    SessionOptions options_;
    Clock& clock_;
    SessionOutput output_;
    std::unique_ptr<ChannelLink> link_;

private:
    void HandleFrames();

    int stopFd_;
    CommandErrorText* errorText_ = nullptr;
    bool helloSeen_ = false;
    std::int64_t helloDueMs_ = 0;
    std::size_t greetingShown_ = 0;
};

[[noreturn]] void UnexpectedFrame(const FrameView& frame);
// The earlier of two times due, where -1 is never.
std::int64_t Earliest(std::int64_t a, std::int64_t b);
