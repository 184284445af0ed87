#include "activation/activate_task_win32.h"

#include "activation/activate_task.h"
#include "os/handles_win32.h"
#include "pipes/pipe_security_win32.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

// What one activation holds, released in reverse order of acquisition.
struct OpenedTask {
    UniqueCom<ITaskService> service;
    UniqueCom<ITaskFolder> root;
    UniqueCom<IRegisteredTask> task;
    UniqueCom<IPrincipal> principal;
};

}  // namespace

TaskPrincipalFacts ReadTaskPrincipal(IPrincipal* principal) {
    TaskPrincipalFacts facts;
    if (principal == nullptr) return facts;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_HIGHEST;
    if (FAILED(principal->get_RunLevel(&runLevel))) return facts;
    facts.runLevel = static_cast<int>(runLevel);
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    if (FAILED(principal->get_LogonType(&logonType))) return facts;
    facts.logonType = static_cast<int>(logonType);
    UniqueBstr userId;
    if (FAILED(principal->get_UserId(userId.put()))) return facts;
    facts.userId = FromWin(userId.get(), ::SysStringLen(userId.get()));
    facts.readAll = true;
    return facts;
}

bool ActivateTask(const WideString& taskPath) {
    // Declared first so that it ends last, after every interface is released.
    const UniqueComApartment apartment = EnterComApartment("Could not initialize Task Scheduler access.");
    OpenedTask opened;

    TaskActivationSteps steps;
    steps.openTask = [&](const WideString& path, const HresultWording& wording) {
        const UniqueBstr rootPath = MakeBstr(u"\\", wording);
        const UniqueBstr fullPath = MakeBstr(path, wording);
        opened.service = ConnectTaskService(wording);
        opened.root = GetTaskFolder(opened.service.get(), rootPath.get(), wording);
        opened.task = GetRegisteredTask(opened.root.get(), fullPath.get(), wording);
    };
    steps.readPrincipal = [&](const HresultWording& wording) {
        opened.principal = GetRegisteredPrincipal(opened.task.get(), wording);
    };
    steps.checkPrincipal = [&] {
        CheckTaskPrincipal(ReadTaskPrincipal(opened.principal.get()), ResolveAccountSid,
                           [] { return WideToUtf8(CurrentUserSid()); });
    };
    steps.readState = [&](const HresultWording& wording) {
        return static_cast<std::uint32_t>(GetRegisteredTaskState(opened.task.get(), wording));
    };
    steps.run = [&](const HresultWording& wording) {
        // The running instance is not needed: the pipe it creates is what the caller waits for.
        RunRegisteredTask(opened.task.get(), wording);
    };
    return ActivateTaskWith(taskPath, steps);
}
