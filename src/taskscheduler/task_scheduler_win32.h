#pragma once
// The Task Scheduler 2.0 calls the program makes, one function per step. Each
// step takes the caller's wording of its failure: task activation reports the
// HRESULT, product setup a fixed sentence. A step either succeeds, filling its
// result, or throws ProgramError with that wording; nothing is half-filled.

#include <windows.h>
#include <taskschd.h>

#include <optional>
#include <string_view>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "taskscheduler/hresult_wording.h"
#include "text/encoding.h"

// Throws ProgramError(wording(hr)) when `hr` is a failure; returns otherwise.
void CheckHresult(HRESULT hr, const HresultWording& wording);

// Joins the multithreaded apartment. A thread that already belongs to another
// apartment (RPC_E_CHANGED_MODE) keeps it and the result holds nothing; any
// other failure throws `message` unchanged.
UniqueComApartment EnterComApartment(std::string_view message);

// SysAllocString of `text`; a failed allocation counts as E_OUTOFMEMORY.
UniqueBstr MakeBstr(const WideString& text, const HresultWording& wording);

// --- The common opening (after EnterComApartment) ---

// The in-process scheduler service, connected to the local machine as the caller.
UniqueCom<ITaskService> ConnectTaskService(const HresultWording& wording);
// The folder at `path` ("\" for the root).
UniqueCom<ITaskFolder> GetTaskFolder(ITaskService* service, BSTR path, const HresultWording& wording);

// --- Activation of a registered task ---

// The registered task at `path` (a full path from the root works from the root
// folder). A path that names no task fails with 0x80070002.
UniqueCom<IRegisteredTask> GetRegisteredTask(ITaskFolder* folder, BSTR path, const HresultWording& wording);
// get_Definition, then get_Principal.
UniqueCom<IPrincipal> GetRegisteredPrincipal(IRegisteredTask* task, const HresultWording& wording);
// The task's state (TASK_STATE_*), read into a value that starts at 0 (unknown).
TASK_STATE GetRegisteredTaskState(IRegisteredTask* task, const HresultWording& wording);
// Starts one run with no parameters; the result is the running instance.
UniqueCom<IRunningTask> RunRegisteredTask(IRegisteredTask* task, const HresultWording& wording);

// --- A temporary task run as the signed-in user ---

// A new, empty task definition.
UniqueCom<ITaskDefinition> NewTaskDefinition(ITaskService* service, const HresultWording& wording);
// The principal: user `userSid`, interactive token, no elevation (TASK_RUNLEVEL_LUA).
void SetInteractiveUserPrincipal(ITaskDefinition* definition, BSTR userSid, const HresultWording& wording);
// Runs on batteries too, and is stopped after `executionTimeLimit` (ISO 8601, e.g. "PT15M").
void SetTaskLimits(ITaskDefinition* definition, BSTR executionTimeLimit, const HresultWording& wording);
// One executable action: `path` with `arguments`, no working directory.
void AddExecAction(ITaskDefinition* definition, BSTR path, BSTR arguments, const HresultWording& wording);
// Registers `definition` as `name` in `folder` with TASK_CREATE for user
// `userSid` with the interactive token: no password, no security descriptor.
UniqueCom<IRegisteredTask> RegisterInteractiveTask(ITaskFolder* folder, BSTR name, ITaskDefinition* definition,
                                                   BSTR userSid, const HresultWording& wording);
// Refreshes the running instance and reads its state. No value means the
// instance has ended (SCHED_E_TASK_NOT_RUNNING from the refresh).
std::optional<TASK_STATE> PollRunningTask(IRunningTask* running, const HresultWording& wording);
// The exit code of the task's last run (0 for success).
LONG GetLastTaskResult(IRegisteredTask* task, const HresultWording& wording);
// Stops every instance of `task` (flags 0) and deletes `name` from `folder`
// (flags 0). Best effort: the two HRESULTs are returned, never thrown.
struct TaskRemovalResult {
    HRESULT stop = S_OK;
    HRESULT remove = S_OK;
};
TaskRemovalResult StopAndDeleteTask(ITaskFolder* folder, IRegisteredTask* task, BSTR name) noexcept;

// True for TASK_STATE_QUEUED and TASK_STATE_RUNNING: the task needs no start.
constexpr bool IsTaskQueuedOrRunning(TASK_STATE state) noexcept {
    return state == TASK_STATE_QUEUED || state == TASK_STATE_RUNNING;
}
