#include "support/scheduled_task_win32.h"

#include <atomic>
#include <string>

#include "text/current_user_win32.h"

namespace {

const HresultWording kWording = SentenceWithHresult("Test task step failed");

UniqueCom<IRegisteredTask> RegisterTestTask(TestScheduler& scheduler, const WideString& name) {
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kWording);
    const UniqueBstr program = MakeBstr(u"cmd.exe", kWording);
    const UniqueBstr arguments = MakeBstr(u"/c exit 0", kWording);
    AddExecAction(definition.get(), program.get(), arguments.get(), kWording);
    const UniqueBstr user = MakeBstr(CurrentUserSid(), kWording);
    const UniqueBstr taskName = MakeBstr(name, kWording);
    return RegisterInteractiveTask(scheduler.root.get(), taskName.get(), definition.get(), user.get(), kWording);
}

}  // namespace

WideString UniqueTaskName() {
    static std::atomic<unsigned> counter{0};
    const std::string name = "qsb-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount64()) + "-" + std::to_string(counter++);
    return Utf8ToWide(name);
}

TestScheduler::TestScheduler()
    : apartment(EnterComApartment("Could not initialize Task Scheduler access.")),
      service(ConnectTaskService(kWording)) {
    const UniqueBstr rootPath = MakeBstr(u"\\", kWording);
    root = GetTaskFolder(service.get(), rootPath.get(), kWording);
}

TestTask::TestTask(TestScheduler& scheduler, const WideString& name)
    : folder_(scheduler.root.get()), name_(name), task_(RegisterTestTask(scheduler, name)) {}

TestTask::~TestTask() {
    const UniqueBstr name(::SysAllocString(reinterpret_cast<const wchar_t*>(name_.c_str())));
    if (name) StopAndDeleteTask(folder_, task_.get(), name.get());
}
