#include "setup/setup_task_win32.h"

#include "setup/setup_constants.h"
#include "setup/setup_run_win32.h"
#include "setup/setup_staging.h"
#include "setup/setup_task.h"
#include "text/program_error.h"

namespace {

UniqueBstr SetupBstr(const WideString& text) { return MakeBstr(text, FixedSentence(kSetupAllocateMessage)); }

// Owns the registered setup task from the moment registration succeeds:
// whatever happens next, it is stopped and deleted. Their results are
// ignored: there is nothing better to do with a task that will not go.
class SetupTaskGuard {
public:
    SetupTaskGuard(ITaskFolder* folder, UniqueBstr name, UniqueCom<IRegisteredTask> task) noexcept
        : name_(std::move(name)), task_(std::move(task)) {
        folder->AddRef();
        folder_.reset(folder);
    }
    ~SetupTaskGuard() { StopAndDeleteTask(folder_.get(), task_.get(), name_.get()); }
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
    scheduler.apartment = EnterComApartment(kSetupComMessage);
    scheduler.service = ConnectTaskService(FixedSentence(kSetupSchedulerMessage));
    const UniqueBstr rootPath = SetupBstr(u"\\");
    scheduler.root = GetTaskFolder(scheduler.service.get(), rootPath.get(), FixedSentence(kSetupFolderMessage));
    return scheduler;
}

UniqueCom<ITaskDefinition> NewSetupTaskDefinition(ITaskService* service) {
    return NewTaskDefinition(service, FixedSentence(kSetupNewTaskMessage));
}

void ConfigureSetupTaskPrincipal(ITaskDefinition* definition, const WideString& userSid) {
    const UniqueBstr sid = SetupBstr(userSid);
    SetInteractiveUserPrincipal(definition, sid.get(), FixedSentence(kSetupPrincipalMessage));
}

void ConfigureSetupTaskLimits(ITaskDefinition* definition) {
    const UniqueBstr timeLimit = SetupBstr(u"PT15M");
    SetTaskLimits(definition, timeLimit.get(), FixedSentence(kSetupSettingsMessage));
}

void ConfigureSetupTaskCommand(ITaskDefinition* definition, const WideString& installerPath) {
    const UniqueBstr path = SetupBstr(installerPath);
    const UniqueBstr switches = SetupBstr(Utf8ToWide(kSetupSwitches));
    AddExecAction(definition, path.get(), switches.get(), FixedSentence(kSetupActionMessage));
}

void RunSetupTaskDefinition(ITaskFolder* folder, ITaskDefinition* definition, const WideString& identifier,
                            const WideString& userSid) {
    const UniqueBstr sid = SetupBstr(userSid);
    UniqueBstr name = SetupBstr(SetupRunName(identifier));
    UniqueCom<IRegisteredTask> registered =
        RegisterInteractiveTask(folder, name.get(), definition, sid.get(), FixedSentence(kSetupRegisterMessage));
    // From here every path stops and deletes the task; the running task is
    // declared after the guard so that it is released first.
    const SetupTaskGuard guard(folder, std::move(name), std::move(registered));
    const UniqueCom<IRunningTask> running = RunRegisteredTask(guard.Task(), FixedSentence(kSetupSignInMessage));

    SetupTaskWatch watch;
    watch.poll = [&]() -> std::optional<std::int32_t> {
        const std::optional<TASK_STATE> state = PollRunningTask(running.get(), FixedSentence(kSetupProgressMessage));
        if (!state) return std::nullopt;
        return static_cast<std::int32_t>(*state);
    };
    watch.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    watch.sleep = [](std::uint32_t ms) { ::Sleep(ms); };
    WaitForSetupTask(watch, ::GetTickCount64());

    if (GetLastTaskResult(guard.Task(), FixedSentence(kSetupTaskFailedMessage)) != 0) {
        throw ProgramError(kSetupTaskFailedMessage);
    }
}

void RunSetupAsDesktopUser(const WideString& installerPath, const WideString& identifier, const WideString& userSid) {
    // The scheduler (apartment first) outlives the definition, which outlives
    // the task run: COM is left after every interface is released.
    const SetupTaskScheduler scheduler = OpenSetupTaskScheduler();
    const UniqueCom<ITaskDefinition> definition = NewSetupTaskDefinition(scheduler.service.get());
    ConfigureSetupTaskPrincipal(definition.get(), userSid);
    ConfigureSetupTaskLimits(definition.get());
    ConfigureSetupTaskCommand(definition.get(), installerPath);
    RunSetupTaskDefinition(scheduler.root.get(), definition.get(), identifier, userSid);
}

void RemoveIdleSetupTask(const WideString& name) noexcept {
    try {
        const SetupTaskScheduler scheduler = OpenSetupTaskScheduler();
        const UniqueBstr taskName = SetupBstr(name);
        const UniqueCom<IRegisteredTask> task =
            GetRegisteredTask(scheduler.root.get(), taskName.get(), FixedSentence(kSetupFolderMessage));
        if (IsTaskQueuedOrRunning(GetRegisteredTaskState(task.get(), FixedSentence(kSetupFolderMessage)))) return;
        scheduler.root.get()->DeleteTask(taskName.get(), 0);
    } catch (...) {
        // No task of that name, or Task Scheduler unavailable: nothing to remove.
    }
}
