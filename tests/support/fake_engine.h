#pragma once
// The engine's operating system in memory: standard streams, a clock that
// moves only when told, an allowlist, pipes whose WaitNamedPipeW result is
// chosen by the test, and bridge pipes served by the test.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_loop.h"
#include "support/fake_streams.h"
#include "support/wire.h"

// The fake engine's bound on closing a stream whose pump cannot finish its
// frame (the product's is seconds).
inline constexpr std::chrono::milliseconds kPumpStopLimitForTests{300};

// The server end of one fake bridge pipe.
class FakeServedPipe {
public:
    // Bytes the program's next reads return.
    void Send(std::string bytes);
    // The server ends the pipe: reads return 0 once sent bytes are taken.
    void Hangup();
    // A server that sends as fast as it can: once sent bytes are taken, every
    // read returns `block` (cut to the read size) until the pipe ends.
    void Flood(std::string block);
    // A server that answers every write with the same bytes.
    void Echo();
    // Writes wait (up to 10 s) until the pipe is cancelled: a server that
    // takes no more client data. WaitUntilStalled waits (bounded) for one.
    void StallWrites();
    bool WaitUntilStalled(int timeoutMs) const;
    std::string Received() const;
    bool Cancelled() const;
    bool Released() const;
    // Waits (bounded) until the program has let go of the pipe's handles.
    bool WaitUntilReleased(int timeoutMs) const;
    bool WaitForReceived(std::size_t size, int timeoutMs) const;
    PipeLink Link(const std::string& label);

private:
    struct State;
    std::shared_ptr<State> state_;

public:
    FakeServedPipe();
};

class FakeEngine {
public:
    FakeEngine();
    ~FakeEngine();
    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;
    FakeStdin in;
    FakeStdout out;
    std::atomic<std::uint64_t> now{1000};
    // Waits (bounded) until the engine or its reader reads the clock after this call.
    bool WaitForClockRead(int timeoutMs = 10000) const;

    void List(const std::string& canonicalPath);
    void FailAllowlist(const std::string& message);  // every check throws this
    void SetPipe(const std::string& canonicalPath, std::uint32_t waitResult);

    // Bridge: each Open takes the next pipe given here, or fails with `message`
    // after running `whileOpening` on the engine thread (an Open that takes
    // its time can move the clock, and let the client send meanwhile).
    std::shared_ptr<FakeServedPipe> AddServedPipe(const std::string& label);
    void FailNextOpen(const std::string& message, std::function<void()> whileOpening = nullptr);
    void RefuseThreads();

    EnginePlatform Platform();

    // Starts the engine on its own thread; Finish waits (bounded) for its end
    // and gives its error message, or "" for a normal end.
    void Start(EngineMode mode, const std::string& bridgePipe = std::string());
    std::string Finish(int timeoutMs = 20000);
    std::vector<WireFrame> Frames() const { return ParseWire(out.Bytes()); }
    // The frames after the Hello.
    std::vector<WireFrame> Replies() const {
        std::vector<WireFrame> frames = Frames();
        if (!frames.empty()) frames.erase(frames.begin());
        return frames;
    }
    // Waits (bounded) until the output holds at least `count` whole frames.
    bool WaitForFrames(std::size_t count, int timeoutMs = 10000) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::atomic<int> clockReads_{0};
    WideString allowlistPath_ = u"C:\\allow\\http-pipe.allow";
    std::future<std::string> run_;
};
