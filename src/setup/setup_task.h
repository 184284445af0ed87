#pragma once
// Waiting for the temporary setup task's run, apart from Task Scheduler so
// that the schedule (first poll at once, every 200 ms, 15-minute deadline)
// can be checked with a fake clock.

#include <cstdint>
#include <functional>
#include <optional>

#include "os/system_codes.h"

inline constexpr std::uint32_t kSetupTaskPollMs = 200;
inline constexpr std::uint64_t kSetupTaskDeadlineMs = 900000;

inline constexpr const char* kSetupProgressMessage = "Could not check Quorl Tholm setup progress.";
inline constexpr const char* kSetupTimedOutMessage = "Quorl Tholm setup timed out.";

// The running instance and the clock, as the wait sees them. `poll` refreshes
// the instance and returns its state, or nothing once it has ended; it throws
// when it cannot tell.
struct SetupTaskWatch {
    std::function<std::optional<std::int32_t>()> poll;
    std::function<std::uint64_t()> tickCount;
    std::function<void(std::uint32_t ms)> sleep;
};

// Returns once the instance has ended or is in a state other than queued or
// running. Throws "Quorl Tholm setup timed out." once the deadline after
// `startTick` is reached while it is still queued or running; a failing poll's
// error passes through and ends the wait.
void WaitForSetupTask(const SetupTaskWatch& watch, std::uint64_t startTick);
