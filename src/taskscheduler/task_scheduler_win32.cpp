#include "taskscheduler/task_scheduler_win32.h"

#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

// CLSID_TaskScheduler, written out here because the import library that would
// carry it (taskschd) does not exist for every toolchain the program builds with.
constexpr CLSID kTaskSchedulerClsid = {0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};

// An empty VARIANT (VT_EMPTY): "not given" for every optional argument.
VARIANT EmptyVariant() noexcept {
    VARIANT value;
    ::VariantInit(&value);
    return value;
}

// A VT_BSTR VARIANT that borrows `text`: the caller's owner keeps the string.
VARIANT BorrowedBstrVariant(BSTR text) noexcept {
    VARIANT value = EmptyVariant();
    value.vt = VT_BSTR;
    value.bstrVal = text;
    return value;
}

}  // namespace

void CheckHresult(HRESULT hr, const HresultWording& wording) {
    if (SUCCEEDED(hr)) return;
    throw ProgramError(wording(static_cast<std::uint32_t>(hr)));
}

UniqueComApartment EnterComApartment(std::string_view message) {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE) return UniqueComApartment();
    if (FAILED(hr)) throw ProgramError(std::string(message));
    // S_OK and S_FALSE both take a reference that CoUninitialize must return.
    return UniqueComApartment(true);
}

UniqueBstr MakeBstr(const WideString& text, const HresultWording& wording) {
    UniqueBstr result(::SysAllocString(WinStr(text)));
    if (!result) CheckHresult(E_OUTOFMEMORY, wording);
    return result;
}

UniqueCom<ITaskService> ConnectTaskService(const HresultWording& wording) {
    UniqueCom<ITaskService> service;
    CheckHresult(::CoCreateInstance(kTaskSchedulerClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                    reinterpret_cast<void**>(service.put())),
                 wording);
    // Server, user, domain and password all empty: this machine, as the caller.
    CheckHresult(service.get()->Connect(EmptyVariant(), EmptyVariant(), EmptyVariant(), EmptyVariant()), wording);
    return service;
}

UniqueCom<ITaskFolder> GetTaskFolder(ITaskService* service, BSTR path, const HresultWording& wording) {
    UniqueCom<ITaskFolder> folder;
    CheckHresult(service->GetFolder(path, folder.put()), wording);
    return folder;
}

UniqueCom<IRegisteredTask> GetRegisteredTask(ITaskFolder* folder, BSTR path, const HresultWording& wording) {
    UniqueCom<IRegisteredTask> task;
    CheckHresult(folder->GetTask(path, task.put()), wording);
    return task;
}

UniqueCom<IPrincipal> GetRegisteredPrincipal(IRegisteredTask* task, const HresultWording& wording) {
    UniqueCom<ITaskDefinition> definition;
    CheckHresult(task->get_Definition(definition.put()), wording);
    UniqueCom<IPrincipal> principal;
    CheckHresult(definition.get()->get_Principal(principal.put()), wording);
    return principal;
}

TASK_STATE GetRegisteredTaskState(IRegisteredTask* task, const HresultWording& wording) {
    TASK_STATE state = TASK_STATE_UNKNOWN;
    CheckHresult(task->get_State(&state), wording);
    return state;
}

UniqueCom<IRunningTask> RunRegisteredTask(IRegisteredTask* task, const HresultWording& wording) {
    UniqueCom<IRunningTask> running;
    CheckHresult(task->Run(EmptyVariant(), running.put()), wording);
    return running;
}

UniqueCom<ITaskDefinition> NewTaskDefinition(ITaskService* service, const HresultWording& wording) {
    UniqueCom<ITaskDefinition> definition;
    CheckHresult(service->NewTask(0, definition.put()), wording);
    return definition;
}

void SetInteractiveUserPrincipal(ITaskDefinition* definition, BSTR userSid, const HresultWording& wording) {
    UniqueCom<IPrincipal> principal;
    CheckHresult(definition->get_Principal(principal.put()), wording);
    CheckHresult(principal.get()->put_UserId(userSid), wording);
    CheckHresult(principal.get()->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN), wording);
    CheckHresult(principal.get()->put_RunLevel(TASK_RUNLEVEL_LUA), wording);
}

void SetTaskLimits(ITaskDefinition* definition, BSTR executionTimeLimit, const HresultWording& wording) {
    UniqueCom<ITaskSettings> settings;
    CheckHresult(definition->get_Settings(settings.put()), wording);
    CheckHresult(settings.get()->put_DisallowStartIfOnBatteries(VARIANT_FALSE), wording);
    CheckHresult(settings.get()->put_StopIfGoingOnBatteries(VARIANT_FALSE), wording);
    CheckHresult(settings.get()->put_ExecutionTimeLimit(executionTimeLimit), wording);
}

void AddExecAction(ITaskDefinition* definition, BSTR path, BSTR arguments, const HresultWording& wording) {
    UniqueCom<IActionCollection> actions;
    CheckHresult(definition->get_Actions(actions.put()), wording);
    UniqueCom<IAction> action;
    CheckHresult(actions.get()->Create(TASK_ACTION_EXEC, action.put()), wording);
    UniqueCom<IExecAction> exec;
    CheckHresult(action.get()->QueryInterface(__uuidof(IExecAction), reinterpret_cast<void**>(exec.put())), wording);
    CheckHresult(exec.get()->put_Path(path), wording);
    CheckHresult(exec.get()->put_Arguments(arguments), wording);
}

UniqueCom<IRegisteredTask> RegisterInteractiveTask(ITaskFolder* folder, BSTR name, ITaskDefinition* definition,
                                                   BSTR userSid, const HresultWording& wording) {
    UniqueCom<IRegisteredTask> task;
    CheckHresult(folder->RegisterTaskDefinition(name, definition, TASK_CREATE, BorrowedBstrVariant(userSid),
                                                EmptyVariant(),  // no password: the interactive token is used
                                                TASK_LOGON_INTERACTIVE_TOKEN,
                                                EmptyVariant(),  // no security descriptor
                                                task.put()),
                 wording);
    return task;
}

std::optional<TASK_STATE> PollRunningTask(IRunningTask* running, const HresultWording& wording) {
    const HRESULT refreshed = running->Refresh();
    if (refreshed == SCHED_E_TASK_NOT_RUNNING) return std::nullopt;
    CheckHresult(refreshed, wording);
    TASK_STATE state = TASK_STATE_UNKNOWN;
    CheckHresult(running->get_State(&state), wording);
    return state;
}

LONG GetLastTaskResult(IRegisteredTask* task, const HresultWording& wording) {
    // A value that is not success in case the call leaves it untouched.
    LONG result = 1;
    CheckHresult(task->get_LastTaskResult(&result), wording);
    return result;
}

TaskRemovalResult StopAndDeleteTask(ITaskFolder* folder, IRegisteredTask* task, BSTR name) noexcept {
    TaskRemovalResult result;
    result.stop = task->Stop(0);
    result.remove = folder->DeleteTask(name, 0);
    return result;
}
