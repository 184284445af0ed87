#pragma once
// In-memory standard input and output for the engine, with the behaviour of
// the real ones that matters: reads block until data, end or a cancel; a
// cancel reaches only a read or write already blocked (as CancelSynchronousIo
// and CancelIoEx do); writes may be partial and may fail.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <atomic>

#include "engine/output_gate.h"
#include "engine/standard_streams.h"

// The fakes' states: a mutex and a condition variable beside the fields.
// Change runs `change` under the lock and wakes every waiter; Set and Get
// write and read one field so; Await waits (bounded) until `ready` holds.
template <typename State, typename F>
void Change(const std::shared_ptr<State>& state, F change) {
    std::lock_guard<std::mutex> lock(state->mutex);
    change(*state);
    state->changed.notify_all();
}

template <typename State, typename Field, typename Value>
void Set(const std::shared_ptr<State>& state, Field State::*field, Value value) {
    Change(state, [&](State& s) { s.*field = value; });
}

template <typename State, typename Field>
Field Get(const std::shared_ptr<State>& state, Field State::*field) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return (*state).*field;
}

template <typename State, typename F>
bool Await(const std::shared_ptr<State>& state, int timeoutMs, F ready) {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return ready(*state); });
}

// Moves up to `size` bytes of the first queued piece to `buffer`.
std::size_t TakeFront(std::deque<std::string>& queue, void* buffer, std::size_t size);

class FakeStdin {
public:
    FakeStdin();
    // Each Push is returned by exactly one read (cut to the read size).
    void Push(std::string bytes);
    void End();
    // Waits (bounded) until the reader is blocked in a read with nothing queued.
    bool WaitUntilBlocked(int timeoutMs);
    // Waits (bounded) until read number `count` has returned.
    bool WaitUntilReadReturned(int count, int timeoutMs);
    int Reads() const;
    // The port shares this fake's state, so a reader that outlives the test's
    // FakeStdin still reads from live memory.
    StandardInput Port();
    // Observes when the last holder of the state (a detached reader) lets go.
    std::weak_ptr<void> Lifetime() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

class FakeStdout {
public:
    FakeStdout();
    // Each write call takes at most this many bytes (to provoke interleaving).
    void SetPieceSize(std::size_t size);
    // Writes fail once this many bytes have been taken in total.
    void FailAfter(std::size_t bytes);
    // Writes block once this many bytes have been taken, until Release(): a
    // client that has stopped reading.
    void HoldAt(std::size_t bytes);
    void Release();
    // false: a blocked write ignores cancels, as a system that cannot cancel
    // it would.
    void SetCancellable(bool cancellable);
    std::string Bytes() const;
    StandardOutput Port();
    // Waits (bounded) until at least `size` bytes were written.
    bool WaitForBytes(std::size_t size, int timeoutMs) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Lets a held output go on every path out of a test, so that no writer is
// left blocked behind a failed assertion.
struct ReleaseAtEnd {
    FakeStdout& out;
    ~ReleaseAtEnd() { out.Release(); }
};

// Waits (bounded) until `count` writers wait for the gate.
bool WaitUntilWaiting(const OutputGate& gate, std::size_t count, int timeoutMs);

// A fake pipe handle's cancellation event, for writers in tests.
class FakeEvent {
public:
    void Set();
    CancelCheck Check() const;

private:
    std::shared_ptr<std::atomic<bool>> set_ = std::make_shared<std::atomic<bool>>(false);
};
