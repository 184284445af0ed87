#pragma once
// The temporary Task Scheduler task that runs the installer as the signed-in
// user, without elevation, on that user's desktop; RunSetupAsDesktopUser
// (setup_run_win32.h) performs these steps in this order. Each throws its
// step's setup message, without an HRESULT.

#include <windows.h>
#include <taskschd.h>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/encoding.h"

// Task Scheduler opened for one setup run. Members are released in reverse:
// the folder and the service before COM is uninitialised.
struct SetupTaskScheduler {
    UniqueComApartment apartment;
    UniqueCom<ITaskService> service;
    UniqueCom<ITaskFolder> root;
};

// COM in the multithreaded apartment (or the thread's own model), Task
// Scheduler connected on the local machine as the caller, the root folder.
SetupTaskScheduler OpenSetupTaskScheduler();

UniqueCom<ITaskDefinition> NewSetupTaskDefinition(ITaskService* service);

// As `userSid`, with its interactive token, at the ordinary (LUA) run level.
void ConfigureSetupTaskPrincipal(ITaskDefinition* definition, const WideString& userSid);

// Runs on battery power too; stopped after 15 minutes.
void ConfigureSetupTaskLimits(ITaskDefinition* definition);

// One executable action: the installer with the silent switches.
void ConfigureSetupTaskCommand(ITaskDefinition* definition, const WideString& installerPath);

// Registers the definition as "QuorlTholm-Setup-" + identifier in `folder`,
// runs it, waits for its end and requires its last result to be 0. Once
// registered, the task is stopped and deleted on every path.
void RunSetupTaskDefinition(ITaskFolder* folder, ITaskDefinition* definition, const WideString& identifier,
                            const WideString& userSid);

// Deletes the root folder's task `name` unless it is queued or running. Best
// effort: nothing is thrown and a task that will not go stays.
void RemoveIdleSetupTask(const WideString& name) noexcept;
