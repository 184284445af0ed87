#include "support/fake_streams.h"

#include <atomic>
#include <chrono>
#include <cstring>

struct FakeStdin::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> pending;
    bool ended = false;
    bool blocked = false;
    bool cancelRequested = false;
    int reads = 0;
};

FakeStdin::FakeStdin() : state_(std::make_shared<State>()) {}

std::size_t TakeFront(std::deque<std::string>& queue, void* buffer, std::size_t size) {
    std::string& front = queue.front();
    const std::size_t take = front.size() < size ? front.size() : size;
    std::memcpy(buffer, front.data(), take);
    if (take == front.size()) queue.pop_front();
    else front.erase(0, take);
    return take;
}

void FakeStdin::Push(std::string bytes) {
    Change(state_, [&](State& s) { s.pending.push_back(bytes); });
}
void FakeStdin::End() { Set(state_, &State::ended, true); }
int FakeStdin::Reads() const { return Get(state_, &State::reads); }

bool FakeStdin::WaitUntilBlocked(int timeoutMs) {
    return Await(state_, timeoutMs, [](State& s) { return s.blocked && s.pending.empty(); });
}

bool FakeStdin::WaitUntilReadReturned(int count, int timeoutMs) {
    return Await(state_, timeoutMs, [&](State& s) { return s.reads > count || (s.reads == count && !s.blocked); });
}

std::weak_ptr<void> FakeStdin::Lifetime() const { return state_; }

StandardInput FakeStdin::Port() {
    StandardInput port;
    std::shared_ptr<State> state = state_;
    port.attachReader = [state] {
        return std::function<void()>([state] {
            std::lock_guard<std::mutex> lock(state->mutex);
            // Like CancelSynchronousIo: only a read in progress is cancelled.
            if (state->blocked) {
                state->cancelRequested = true;
                state->changed.notify_all();
            }
        });
    };
    port.read = [state](void* buffer, std::size_t size) -> std::size_t {
        std::unique_lock<std::mutex> lock(state->mutex);
        ++state->reads;
        state->blocked = true;
        state->changed.notify_all();
        state->changed.wait(lock, [&] { return !state->pending.empty() || state->ended || state->cancelRequested; });
        state->blocked = false;
        state->changed.notify_all();
        if (state->cancelRequested) {
            state->cancelRequested = false;
            return 0;
        }
        return state->pending.empty() ? 0 : TakeFront(state->pending, buffer, size);
    };
    return port;
}

struct FakeStdout::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::string bytes;
    int blocked = 0;  // writes waiting at the hold
    bool cancellable = true;
    bool cancelRequested = false;
    std::size_t pieceSize = static_cast<std::size_t>(-1);
    std::size_t failAfter = static_cast<std::size_t>(-1);
    std::size_t holdAt = static_cast<std::size_t>(-1);
};

FakeStdout::FakeStdout() : state_(std::make_shared<State>()) {}
void FakeStdout::HoldAt(std::size_t bytes) { Set(state_, &State::holdAt, bytes); }
void FakeStdout::Release() { Set(state_, &State::holdAt, static_cast<std::size_t>(-1)); }
void FakeStdout::SetCancellable(bool cancellable) { Set(state_, &State::cancellable, cancellable); }
void FakeStdout::SetPieceSize(std::size_t size) { Set(state_, &State::pieceSize, size); }
void FakeStdout::FailAfter(std::size_t bytes) { Set(state_, &State::failAfter, bytes); }
std::string FakeStdout::Bytes() const { return Get(state_, &State::bytes); }

bool FakeStdout::WaitForBytes(std::size_t size, int timeoutMs) const {
    return Await(state_, timeoutMs, [&](State& s) { return s.bytes.size() >= size; });
}

StandardOutput FakeStdout::Port() {
    std::shared_ptr<State> state = state_;
    StandardOutput port;
    port.cancelWrite = [state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        // Only a write already blocked is cancelled.
        if (state->blocked > 0 && state->cancellable) {
            state->cancelRequested = true;
            state->changed.notify_all();
        }
    };
    port.write = [state](const void* data, std::size_t size) -> std::size_t {
        std::size_t take = size < state->pieceSize ? size : state->pieceSize;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            ++state->blocked;
            state->changed.wait(lock, [&] { return state->bytes.size() < state->holdAt || state->cancelRequested; });
            --state->blocked;
            if (state->cancelRequested) {
                state->cancelRequested = false;
                return 0;
            }
            if (state->bytes.size() >= state->failAfter) return 0;
            if (take > state->holdAt - state->bytes.size()) take = state->holdAt - state->bytes.size();
            if (take > state->failAfter - state->bytes.size()) take = state->failAfter - state->bytes.size();
            state->bytes.append(static_cast<const char*>(data), take);
            state->changed.notify_all();
        }
        // Give other writers every chance to slip in between two pieces.
        std::this_thread::yield();
        return take;
    };
    return port;
}

bool WaitUntilWaiting(const OutputGate& gate, std::size_t count, int timeoutMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (gate.Waiting() < count) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void FakeEvent::Set() { set_->store(true); }
CancelCheck FakeEvent::Check() const {
    auto set = set_;
    return [set] { return set->load(); };
}
