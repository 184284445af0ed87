#include <condition_variable>
#include <mutex>

#include "os/wait_lock.h"

struct WaitLock::State {
    std::mutex mutex;
    std::condition_variable changed;
};

WaitLock::WaitLock() : state_(std::make_unique<State>()) {}
WaitLock::~WaitLock() = default;

void WaitLock::lock() { state_->mutex.lock(); }
void WaitLock::unlock() { state_->mutex.unlock(); }

void WaitLock::WaitUntil(Clock::time_point deadline) {
    // The caller holds the mutex: lend it to the wait and keep it afterwards.
    std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
    state_->changed.wait_until(held, deadline);
    held.release();
}

void WaitLock::Wait() {
    std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
    state_->changed.wait(held);
    held.release();
}

void WaitLock::NotifyAll() { state_->changed.notify_all(); }
void WaitLock::NotifyOne() { state_->changed.notify_one(); }

struct WaitTurn::State {
    std::condition_variable turn;
};

WaitTurn::WaitTurn() : state_(std::make_unique<State>()) {}
WaitTurn::~WaitTurn() = default;

void WaitTurn::WaitUntil(WaitLock& lock, WaitLock::Clock::time_point deadline) {
    std::unique_lock<std::mutex> held(lock.state_->mutex, std::adopt_lock);
    state_->turn.wait_until(held, deadline);
    held.release();
}

void WaitTurn::Wait(WaitLock& lock) {
    std::unique_lock<std::mutex> held(lock.state_->mutex, std::adopt_lock);
    state_->turn.wait(held);
    held.release();
}

void WaitTurn::Notify() { state_->turn.notify_one(); }
