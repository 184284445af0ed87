#pragma once
// Milliseconds on a clock that never goes back; tests substitute their own so
// that keep-alive and dead-channel rules run without waiting.

#include <chrono>
#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t NowMs() = 0;
};

class SteadyClock final : public Clock {
public:
    std::int64_t NowMs() override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    }
};
