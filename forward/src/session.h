#pragma once
// The two kinds of forwarder session over one bridge channel, each one
// single-threaded: every turn polls the channel, the listeners and the local
// connections, moves what can move without blocking, and runs the timers.

#include <cstddef>
#include <cstdint>
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

enum class SessionEnd { Stopped, ChannelClosed };

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

class BridgeSession {
public:
    BridgeSession(SessionIo io, std::vector<ListenAddress> addresses, SessionOptions options, Clock& clock,
                  SessionOutput output);
    ~BridgeSession();

    // One turn, waiting at most `maxWaitMs` for something to happen. Returns
    // how the session ended, or nothing while it goes on. Throws ProgramError
    // when the bridge breaks the protocol, stops answering, or a listener
    // cannot be opened.
    std::optional<SessionEnd> Step(int maxWaitMs);
    SessionEnd Run();

    // For tests and benchmarks: what the session holds now.
    bool Listening() const { return !listeners_.empty(); }
    std::vector<std::string> ListenerNames() const;
    std::size_t StreamsAtBridge() const { return streamsAtBridge_; }
    std::size_t LocalConnections() const { return streams_.size(); }
    std::size_t HeldForLocal() const;      // bridge data waiting for local readers
    std::size_t HeldForBridge() const { return link_.QueuedBytes(); }
    std::size_t UnparsedInput() const { return link_.UnparsedBytes(); }
    void SetCommandErrorText(CommandErrorText* text) { errorText_ = text; }

private:
    struct Stream {
        UniqueFd socket;
        bool opened = false;        // the bridge answered Opened
        bool localEnded = false;    // the local side sent its last byte (Eof sent)
        bool localGone = false;     // the local side is closed: Close is due once opened
        bool hangupSeen = false;    // poll reported a hang-up not yet acted upon
        bool bridgeEof = false;     // the bridge sent Eof: shut down our writing once drained
        bool writeShut = false;
        bool bridgeClosed = false;  // the bridge forgot the stream: close once drained
        bool closeSent = false;
        int openAttempts = 1;
        ByteQueue toLocal;
        std::int64_t stalledSinceMs = -1;
    };

    void OnHello();
    void Dispatch(const FrameView& frame);
    void OnLocalReadable(std::uint32_t id, Stream& stream, short revents);
    void OnLocalWritable(std::uint32_t id, Stream& stream);
    void AcceptConnections(int listenFd);
    // Sends Close for a stream the bridge still holds and stops counting it there.
    void EndAtBridge(std::uint32_t id, Stream& stream);
    void LocalGone(std::uint32_t id, Stream& stream);
    void Forget(std::uint32_t id);
    bool ChannelPaused() const;
    void CheckStalledReaders();
    std::int64_t NextTimerMs() const;

    SessionIo io_;
    std::vector<ListenAddress> addresses_;
    SessionOptions options_;
    Clock& clock_;
    SessionOutput output_;
    ChannelLink link_;
    CommandErrorText* errorText_ = nullptr;
    bool helloSeen_ = false;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<std::uint32_t, Stream> streams_;
    StreamIdAllocator ids_;
    std::size_t streamsAtBridge_ = 0;
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
    std::vector<bool> pending_;  // by watch ID - 1: sent, not yet answered
    std::vector<bool> watching_;
    std::size_t active_ = 0;
};
