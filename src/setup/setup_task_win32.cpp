#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>

#include "os/handles_win32.h"
#include "setup/setup_constants.h"
#include "setup/setup_run_win32.h"
#include "setup/setup_staging.h"
#include "setup/setup_task.h"
#include "setup/setup_task_win32.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

// Throws `message` when a Task Scheduler step failed; the setup reports no
// HRESULT, only which step went wrong.
void CheckStep(HRESULT result, const char* message) {
    if (FAILED(result)) throw ProgramError(message);
}

UniqueBstr AllocateBstr(const WideString& text) {
    UniqueBstr string(::SysAllocString(WinStr(text)));
    if (!string) throw ProgramError(kSetupAllocateMessage);
    return string;
}

// An empty VARIANT for the optional arguments Task Scheduler takes by value.
VARIANT EmptyVariant() {
    VARIANT value;
    ::VariantInit(&value);
    return value;
}

// A VT_BSTR VARIANT that borrows `text` (the owner frees the string).
VARIANT BorrowedBstrVariant(const UniqueBstr& text) {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text.get();
    return value;
}

// Owns the registered setup task from the moment registration succeeds:
// whatever happens next, it is stopped and deleted, with results ignored
// because there is nothing better to do with a task that will not go.
class SetupTaskGuard {
public:
    SetupTaskGuard(ITaskFolder* folder, UniqueBstr name, UniqueCom<IRegisteredTask> task) noexcept
        : name_(std::move(name)), task_(std::move(task)) {
        folder->AddRef();
        folder_.reset(folder);
    }
    ~SetupTaskGuard() {
        task_.get()->Stop(0);
        folder_.get()->DeleteTask(name_.get(), 0);
    }
    SetupTaskGuard(const SetupTaskGuard&) = delete;
    SetupTaskGuard& operator=(const SetupTaskGuard&) = delete;

    IRegisteredTask* Task() const noexcept { return task_.get(); }

private:
    UniqueCom<ITaskFolder> folder_;
    UniqueBstr name_;
    UniqueCom<IRegisteredTask> task_;
};

}  // namespace

SetupTaskScheduler OpenSetupTaskScheduler() {
    SetupTaskScheduler scheduler;
    const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(initialized)) {
        scheduler.com.reset(true);
    } else if (initialized != RPC_E_CHANGED_MODE) {
        throw ProgramError(kSetupComMessage);
    }

    CheckStep(::CoCreateInstance(__uuidof(TaskScheduler),
                                 nullptr,
                                 CLSCTX_INPROC_SERVER,
                                 __uuidof(ITaskService),
                                 reinterpret_cast<void**>(scheduler.service.put())),
              kSetupSchedulerMessage);
    CheckStep(scheduler.service.get()->Connect(EmptyVariant(), EmptyVariant(), EmptyVariant(), EmptyVariant()),
              kSetupSchedulerMessage);

    const UniqueBstr rootPath = AllocateBstr(u"\\");
    CheckStep(scheduler.service.get()->GetFolder(rootPath.get(), scheduler.root.put()), kSetupFolderMessage);
    return scheduler;
}

UniqueCom<ITaskDefinition> NewSetupTaskDefinition(ITaskService* service) {
    UniqueCom<ITaskDefinition> definition;
    CheckStep(service->NewTask(0, definition.put()), kSetupNewTaskMessage);
    return definition;
}

void ConfigureSetupTaskPrincipal(ITaskDefinition* definition, const WideString& userSid) {
    const UniqueBstr sid = AllocateBstr(userSid);
    UniqueCom<IPrincipal> principal;
    CheckStep(definition->get_Principal(principal.put()), kSetupPrincipalMessage);
    CheckStep(principal.get()->put_UserId(sid.get()), kSetupPrincipalMessage);
    CheckStep(principal.get()->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN), kSetupPrincipalMessage);
    CheckStep(principal.get()->put_RunLevel(TASK_RUNLEVEL_LUA), kSetupPrincipalMessage);
}

void ConfigureSetupTaskLimits(ITaskDefinition* definition) {
    const UniqueBstr timeLimit = AllocateBstr(u"PT15M");
    UniqueCom<ITaskSettings> settings;
    CheckStep(definition->get_Settings(settings.put()), kSetupSettingsMessage);
    CheckStep(settings.get()->put_DisallowStartIfOnBatteries(VARIANT_FALSE), kSetupSettingsMessage);
    CheckStep(settings.get()->put_StopIfGoingOnBatteries(VARIANT_FALSE), kSetupSettingsMessage);
    CheckStep(settings.get()->put_ExecutionTimeLimit(timeLimit.get()), kSetupSettingsMessage);
}

void ConfigureSetupTaskCommand(ITaskDefinition* definition, const WideString& installerPath) {
    const UniqueBstr path = AllocateBstr(installerPath);
    const UniqueBstr switches = AllocateBstr(Utf8ToWide(kSetupSwitches));
    UniqueCom<IActionCollection> actions;
    UniqueCom<IAction> action;
    UniqueCom<IExecAction> execAction;
    CheckStep(definition->get_Actions(actions.put()), kSetupActionMessage);
    CheckStep(actions.get()->Create(TASK_ACTION_EXEC, action.put()), kSetupActionMessage);
    CheckStep(action.get()->QueryInterface(__uuidof(IExecAction), reinterpret_cast<void**>(execAction.put())),
              kSetupActionMessage);
    CheckStep(execAction.get()->put_Path(path.get()), kSetupActionMessage);
    CheckStep(execAction.get()->put_Arguments(switches.get()), kSetupActionMessage);
}

void RunSetupTaskDefinition(ITaskFolder* folder,
                            ITaskDefinition* definition,
                            const WideString& identifier,
                            const WideString& userSid) {
    const UniqueBstr sid = AllocateBstr(userSid);
    UniqueBstr name = AllocateBstr(SetupRunName(identifier));
    UniqueCom<IRegisteredTask> registered;
    CheckStep(folder->RegisterTaskDefinition(name.get(),
                                             definition,
                                             TASK_CREATE,
                                             BorrowedBstrVariant(sid),
                                             EmptyVariant(),
                                             TASK_LOGON_INTERACTIVE_TOKEN,
                                             EmptyVariant(),
                                             registered.put()),
              kSetupRegisterMessage);
    // From here every path stops and deletes the task; the running task is
    // declared after the guard so that it is released before.
    const SetupTaskGuard guard(folder, std::move(name), std::move(registered));

    UniqueCom<IRunningTask> running;
    CheckStep(guard.Task()->Run(EmptyVariant(), running.put()), kSetupSignInMessage);

    SetupTaskWatch watch;
    watch.refresh = [&] { return static_cast<std::int32_t>(running.get()->Refresh()); };
    watch.state = [&](std::int32_t& state) {
        TASK_STATE current = TASK_STATE_UNKNOWN;
        const HRESULT result = running.get()->get_State(&current);
        if (SUCCEEDED(result)) state = static_cast<std::int32_t>(current);
        return static_cast<std::int32_t>(result);
    };
    watch.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    watch.sleep = [](std::uint32_t ms) { ::Sleep(ms); };
    WaitForSetupTask(watch, ::GetTickCount64());

    LONG lastResult = 1;
    if (FAILED(guard.Task()->get_LastTaskResult(&lastResult)) || lastResult != 0) {
        throw ProgramError(kSetupTaskFailedMessage);
    }
}

void RunSetupAsDesktopUser(const WideString& installerPath, const WideString& identifier, const WideString& userSid) {
    // The scheduler (COM scope first) outlives the definition, which outlives
    // the task run: COM is uninitialised after every interface is released.
    const SetupTaskScheduler scheduler = OpenSetupTaskScheduler();
    const UniqueCom<ITaskDefinition> definition = NewSetupTaskDefinition(scheduler.service.get());
    ConfigureSetupTaskPrincipal(definition.get(), userSid);
    ConfigureSetupTaskLimits(definition.get());
    ConfigureSetupTaskCommand(definition.get(), installerPath);
    RunSetupTaskDefinition(scheduler.root.get(), definition.get(), identifier, userSid);
}
