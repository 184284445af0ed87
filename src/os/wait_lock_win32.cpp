#include <windows.h>

#include "os/wait_lock.h"

struct WaitLock::State {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

namespace {

void SleepUntil(CONDITION_VARIABLE& condition, SRWLOCK& lock, WaitLock::Clock::time_point deadline) {
    const auto now = WaitLock::Clock::now();
    if (deadline <= now) return;
    // Rounded up, so that a wait never ends just before its deadline and spins;
    // capped below INFINITE, so that a far deadline still returns to be re-checked.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    constexpr long long kLongestWaitMs = 0x7FFFFFFF;
    const DWORD waitMs = static_cast<DWORD>(left < kLongestWaitMs ? left : kLongestWaitMs);
    // A time-out (ERROR_TIMEOUT) and a wake-up look the same to the caller,
    // which re-checks its condition and the clock.
    ::SleepConditionVariableSRW(&condition, &lock, waitMs, 0);
}

}  // namespace

WaitLock::WaitLock() : state_(std::make_unique<State>()) {}
WaitLock::~WaitLock() = default;

void WaitLock::lock() { ::AcquireSRWLockExclusive(&state_->lock); }
void WaitLock::unlock() { ::ReleaseSRWLockExclusive(&state_->lock); }

void WaitLock::WaitUntil(Clock::time_point deadline) { SleepUntil(state_->changed, state_->lock, deadline); }

void WaitLock::Wait() { ::SleepConditionVariableSRW(&state_->changed, &state_->lock, INFINITE, 0); }

void WaitLock::NotifyAll() { ::WakeAllConditionVariable(&state_->changed); }
void WaitLock::NotifyOne() { ::WakeConditionVariable(&state_->changed); }

struct WaitTurn::State {
    CONDITION_VARIABLE turn = CONDITION_VARIABLE_INIT;
};

WaitTurn::WaitTurn() : state_(std::make_unique<State>()) {}
WaitTurn::~WaitTurn() = default;

void WaitTurn::WaitUntil(WaitLock& lock, WaitLock::Clock::time_point deadline) {
    SleepUntil(state_->turn, lock.state_->lock, deadline);
}

void WaitTurn::Wait(WaitLock& lock) { ::SleepConditionVariableSRW(&state_->turn, &lock.state_->lock, INFINITE, 0); }

void WaitTurn::Notify() { ::WakeConditionVariable(&state_->turn); }
