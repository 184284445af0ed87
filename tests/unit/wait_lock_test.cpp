// The lock and condition variable behind the engine's hand-offs: mutual
// exclusion and deadlines (natively, and under Wine where it is the system's
// SRW lock and condition variable). Wake-ups are every engine test's: a lost
// one leaves a close waiting out its limit.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "os/wait_lock.h"

namespace {

using Clock = WaitLock::Clock;
constexpr auto kBound = std::chrono::seconds(10);

}  // namespace

TEST(WaitLock, ExcludesEveryOtherHolder) {
    WaitLock lock;
    long counter = 0;  // a plain variable: only the lock keeps the increments whole
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<WaitLock> hold(lock);
                ++counter;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST(WaitLock, AWaitWithoutNotificationEndsAtItsDeadlineNotBefore) {
    WaitLock lock;
    std::lock_guard<WaitLock> hold(lock);
    const auto start = Clock::now();
    EXPECT_FALSE(lock.WaitUntil(start + std::chrono::milliseconds(30), [] { return false; }));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(30));
    // A deadline already past returns at once with the condition's value.
    EXPECT_FALSE(lock.WaitUntil(Clock::time_point::min(), [] { return false; }));
    EXPECT_TRUE(lock.WaitUntil(Clock::time_point::min(), [] { return true; }));
}
