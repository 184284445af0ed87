#pragma once
// Waiting for the temporary setup task's run, apart from Task Scheduler so
// that the schedule (first poll at once, every 200 ms, 15-minute deadline)
// can be checked with a fake clock.

#include <cstdint>
#include <functional>

inline constexpr std::uint32_t kSetupTaskPollMs = 200;
inline constexpr std::uint64_t kSetupTaskDeadlineMs = 900000;
inline constexpr std::int32_t kSetupTaskNotRunning = static_cast<std::int32_t>(0x8004130B);  // SCHED_E_TASK_NOT_RUNNING
inline constexpr std::int32_t kSetupTaskStateQueued = 2;                                      // TASK_STATE_QUEUED
inline constexpr std::int32_t kSetupTaskStateRunning = 4;                                     // TASK_STATE_RUNNING

inline constexpr const char* kSetupProgressMessage = "Could not check Quorl Tholm setup progress.";
inline constexpr const char* kSetupTimedOutMessage = "Quorl Tholm setup timed out.";

// The running instance and the clock, as the wait sees them. `refresh` and
// `state` return an HRESULT; `state` fills its argument only on success.
struct SetupTaskWatch {
    std::function<std::int32_t()> refresh;
    std::function<std::int32_t(std::int32_t& state)> state;
    std::function<std::uint64_t()> tickCount;
    std::function<void(std::uint32_t ms)> sleep;
};

// Returns once the instance has ended (SCHED_E_TASK_NOT_RUNNING, or a state
// other than queued or running). Throws "Could not check Quorl Tholm setup
// progress." for any other failure, "Quorl Tholm setup timed out." once the
// deadline after `startTick` is reached while it still runs.
void WaitForSetupTask(const SetupTaskWatch& watch, std::uint64_t startTick);
