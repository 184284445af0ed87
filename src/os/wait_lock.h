#pragma once
// A mutex with one condition variable: the lock behind every hand-off between
// the engine's threads (the input queue, the output gate). On Windows it is an
// SRW lock with a CONDITION_VARIABLE; elsewhere std::mutex with
// std::condition_variable, so that ThreadSanitizer sees every hand-off.
//
// Why not the standard types on Windows too: with mingw's winpthreads they are
// built on kernel semaphores and events, and under Wine every wake-up then
// costs several wineserver round trips (about 0.5 ms for one hand-off there and
// back on a loaded two-core machine, against 20-40 us for the SRW pair, whose
// waits Wine serves in-process).

#include <chrono>
#include <memory>

class WaitLock {
public:
    using Clock = std::chrono::steady_clock;

    WaitLock();
    ~WaitLock();
    WaitLock(const WaitLock&) = delete;
    WaitLock& operator=(const WaitLock&) = delete;

    // BasicLockable, for std::lock_guard and std::unique_lock.
    void lock();
    void unlock();

    // Called with the lock held: releases it, sleeps until notified or until
    // `deadline`, and takes it again. May return early without a notification.
    void WaitUntil(Clock::time_point deadline);
    // The same without a deadline.
    void Wait();
    void NotifyAll();
    void NotifyOne();

    // Called with the lock held: waits until `ready()` holds or `deadline`
    // passes; returns `ready()`.
    template <class Predicate>
    bool WaitUntil(Clock::time_point deadline, Predicate ready) {
        while (!ready()) {
            if (Clock::now() >= deadline) return ready();
            WaitUntil(deadline);
        }
        return true;
    }
    template <class Predicate>
    void Wait(Predicate ready) {
        while (!ready()) Wait();
    }

private:
    friend class WaitTurn;
    struct State;
    std::unique_ptr<State> state_;
};

// A condition variable of one waiter, used with a WaitLock: a queue that hands
// its next turn to one thread wakes that thread alone, where the lock's own
// condition would wake every waiter only to find out whose turn it is.
class WaitTurn {
public:
    WaitTurn();
    ~WaitTurn();
    WaitTurn(const WaitTurn&) = delete;
    WaitTurn& operator=(const WaitTurn&) = delete;

    // Called with `lock` held: releases it, sleeps until notified or until
    // `deadline`, and takes it again. May return early without a notification.
    void WaitUntil(WaitLock& lock, WaitLock::Clock::time_point deadline);
    // The same without a deadline.
    void Wait(WaitLock& lock);
    // Called with the lock held, so that the waiter cannot be gone.
    void Notify();

private:
    struct State;
    std::unique_ptr<State> state_;
};
