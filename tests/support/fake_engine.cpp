#include "support/fake_engine.h"

#include <chrono>
#include <system_error>

#include "engine/frame.h"
#include "text/program_error.h"

struct FakeServedPipe::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<std::string> toProgram;
    std::string received;
    std::string flood;
    bool echo = false;
    bool hungUp = false;
    bool stallWrites = false;
    int stalled = 0;  // writes waiting in the stall
    bool cancelled = false;
    bool released = false;
};

FakeServedPipe::FakeServedPipe() : state_(std::make_shared<State>()) {}
void FakeServedPipe::Send(std::string bytes) {
    Change(state_, [&](State& s) { s.toProgram.push_back(bytes); });
}
void FakeServedPipe::Hangup() { Set(state_, &State::hungUp, true); }
void FakeServedPipe::Flood(std::string block) { Set(state_, &State::flood, block); }
void FakeServedPipe::Echo() { Set(state_, &State::echo, true); }
void FakeServedPipe::StallWrites() { Set(state_, &State::stallWrites, true); }
std::string FakeServedPipe::Received() const { return Get(state_, &State::received); }
bool FakeServedPipe::Cancelled() const { return Get(state_, &State::cancelled); }
bool FakeServedPipe::Released() const { return Get(state_, &State::released); }

bool FakeServedPipe::WaitUntilStalled(int timeoutMs) const {
    return Await(state_, timeoutMs, [](State& s) { return s.stalled > 0; });
}

bool FakeServedPipe::WaitUntilReleased(int timeoutMs) const {
    return Await(state_, timeoutMs, [](State& s) { return s.released; });
}

bool FakeServedPipe::WaitForReceived(std::size_t size, int timeoutMs) const {
    return Await(state_, timeoutMs, [&](State& s) { return s.received.size() >= size; });
}

PipeLink FakeServedPipe::Link(const std::string& label) {
    std::shared_ptr<State> state = state_;
    PipeLink link;
    link.label = label;
    // Like PipeTransfer: a read waits for data, the end of the pipe or the
    // cancellation event; once the event is set every transfer fails.
    link.transfer = [state](void* buffer, std::uint32_t length, bool write) -> std::uint32_t {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (write) {
            if (state->stallWrites) {
                ++state->stalled;
                state->changed.notify_all();
                state->changed.wait_for(lock, std::chrono::seconds(10), [&] { return state->cancelled; });
                --state->stalled;
            }
            if (state->cancelled) throw ProgramError("Pipe operation cancelled or timed out.");
            if (state->hungUp) throw ProgramError("Pipe I/O failed (Windows error 232).");
            state->received.append(static_cast<const char*>(buffer), length);
            if (state->echo) state->toProgram.emplace_back(static_cast<const char*>(buffer), length);
            state->changed.notify_all();
            return length;
        }
        state->changed.wait(lock, [&] {
            return state->cancelled || !state->toProgram.empty() || state->hungUp || !state->flood.empty();
        });
        if (!state->toProgram.empty()) return static_cast<std::uint32_t>(TakeFront(state->toProgram, buffer, length));
        if (state->cancelled) throw ProgramError("Pipe operation cancelled or timed out.");
        if (state->hungUp) return 0;
        std::deque<std::string> block{state->flood};
        return static_cast<std::uint32_t>(TakeFront(block, buffer, length));
    };
    link.cancel = [state] { Set(state, &State::cancelled, true); };
    link.handles = std::shared_ptr<void>(nullptr, [state](void*) { Set(state, &State::released, true); });
    return link;
}

struct FakeEngine::Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::set<std::string> listed;
    std::string allowlistFailure;
    std::map<std::string, std::uint32_t> pipes;
    struct Open {
        std::shared_ptr<FakeServedPipe> pipe;  // null: the Open fails
        std::string text;                      // the label, or the failure
        std::function<void()> whileOpening;
    };
    std::deque<Open> opens;
    bool refuseThreads = false;
};

FakeEngine::FakeEngine() : shared_(std::make_shared<Shared>()) {}

FakeEngine::~FakeEngine() {
    if (run_.valid()) Finish(0);
}

void FakeEngine::List(const std::string& path) {
    Change(shared_, [&](Shared& s) { s.listed.insert(path); });
}
void FakeEngine::FailAllowlist(const std::string& message) { Set(shared_, &Shared::allowlistFailure, message); }
void FakeEngine::SetPipe(const std::string& path, std::uint32_t result) {
    Change(shared_, [&](Shared& s) { s.pipes[path] = result; });
}
void FakeEngine::RefuseThreads() { Set(shared_, &Shared::refuseThreads, true); }

std::shared_ptr<FakeServedPipe> FakeEngine::AddServedPipe(const std::string& label) {
    auto pipe = std::make_shared<FakeServedPipe>();
    Change(shared_, [&](Shared& s) { s.opens.push_back({pipe, label, nullptr}); });
    return pipe;
}

void FakeEngine::FailNextOpen(const std::string& message, std::function<void()> whileOpening) {
    Change(shared_, [&](Shared& s) { s.opens.push_back({nullptr, message, whileOpening}); });
}

EnginePlatform FakeEngine::Platform() {
    EnginePlatform p;
    std::shared_ptr<Shared> shared = shared_;
    p.input = in.Port();
    p.output = out.Port();
    p.tickCount = [this] {
        clockReads_.fetch_add(1);  // before the load: a read counted after a store sees it
        return now.load();
    };
    p.inputWait = std::chrono::milliseconds(5);
    p.readerStopLimit = std::chrono::milliseconds(2000);
    p.pumpStopLimit = kPumpStopLimitForTests;
    p.requirePipeAllowlisted = [shared](std::string_view path, const WideString& allowlist) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (allowlist != u"C:\\allow\\http-pipe.allow") throw ProgramError("wrong allowlist path");
        if (!shared->allowlistFailure.empty()) throw ProgramError(shared->allowlistFailure);
        if (shared->listed.count(std::string(path)) == 0) {
            throw ProgramError("This named pipe is not in the HTTP allowlist.");
        }
    };
    p.waitNamedPipe = [shared](std::string_view path) -> std::uint32_t {
        std::lock_guard<std::mutex> lock(shared->mutex);
        const auto it = shared->pipes.find(std::string(path));
        return it == shared->pipes.end() ? 2 : it->second;
    };
    p.bridge.connectPipe = [shared](const std::string&, const WideString&) -> PipeLink {
        Shared::Open open;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->opens.empty()) throw ProgramError("no fake pipe left");
            open = shared->opens.front();
            shared->opens.pop_front();
        }
        if (open.whileOpening) open.whileOpening();
        if (!open.pipe) throw ProgramError(open.text);
        return open.pipe->Link(open.text);
    };
    p.bridge.startThread = [shared](std::function<void()> body) {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->refuseThreads) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
        }
        return std::thread(std::move(body));
    };
    return p;
}

void FakeEngine::Start(EngineMode mode, const std::string& bridgePipe) {
    EnginePlatform platform = Platform();
    const WideString allowlist = allowlistPath_;
    run_ = std::async(std::launch::async, [platform, mode, bridgePipe, allowlist]() -> std::string {
        try {
            RunStreamEngine(mode, bridgePipe, allowlist, platform);
            return std::string();
        } catch (const std::exception& error) {
            return error.what();
        }
    });
}

std::string FakeEngine::Finish(int timeoutMs) {
    if (run_.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        // Unblock the engine so the test can end, then report the hang.
        in.End();
        out.Release();
        now.store(now.load() + 10 * kIdleLimitMs);
        run_.wait();
        return "(engine still running after the time limit)";
    }
    return run_.get();
}

bool FakeEngine::WaitForClockRead(int timeoutMs) const {
    const int before = clockReads_.load();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (clockReads_.load() == before) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

bool FakeEngine::WaitForFrames(std::size_t count, int timeoutMs) const {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ParseWire(out.Bytes()).size() >= count) return true;
        if (std::chrono::steady_clock::now() > giveUp) return false;
        // The fake output notifies on every write; wait for the next one.
        out.WaitForBytes(out.Bytes().size() + 1, 10);
    }
}
