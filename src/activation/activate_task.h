#pragma once
// The rule for starting the task registered for a pipe, over the Task
// Scheduler steps it needs. The Windows layer supplies the steps
// (activate_task_win32.h); tests supply a fake scheduler.

#include <cstdint>
#include <functional>

#include "os/system_codes.h"
#include "taskscheduler/hresult_wording.h"
#include "text/encoding.h"

// A queued or running task needs no start.
constexpr bool IsQueuedOrRunning(std::uint32_t taskState) noexcept {
    return taskState == kTaskStateQueued || taskState == kTaskStateRunning;
}

// The scheduler steps for one registered task, made in this order. Each step
// that fails throws ProgramError worded by the HresultWording it is given.
struct TaskActivationSteps {
    // Connects to the scheduler and opens the task at its full path from the root folder.
    std::function<void(const WideString& taskPath, const HresultWording&)> openTask;
    // Reads the opened task's definition and its principal.
    std::function<void(const HresultWording&)> readPrincipal;
    // Refuses an unsuitable principal with the principal check's own messages.
    std::function<void()> checkPrincipal;
    // The task's current state (TASK_STATE_*).
    std::function<std::uint32_t(const HresultWording&)> readState;
    // Starts one run of the task, with no parameters.
    std::function<void(const HresultWording&)> run;
};

// "Could not activate task " + the path, then the HRESULT suffix.
HresultWording TaskActivationWording(const WideString& taskPath);

// Starts the task at `taskPath` unless it is already queued or running; true
// when this call started it. The principal is checked first, whatever the
// state, so an unsuitable task fails even while it runs.
bool ActivateTaskWith(const WideString& taskPath, const TaskActivationSteps& steps);
