// The Task Scheduler steps against the system's scheduler. Every task a test
// registers has a unique name and is deleted by a guard on every path.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/error_message.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/current_user.h"
#include "text/encoding.h"

namespace {

const HresultWording kActivationWording = SentenceWithHresult("Could not activate task \\x");

WideString UniqueTaskName() {
    static std::atomic<unsigned> counter{0};
    const std::string name = "qsb-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount64()) + "-" + std::to_string(counter++);
    return Utf8ToWide(name);
}

// The common opening, as both callers make it.
struct Scheduler {
    UniqueComApartment apartment = EnterComApartment("Could not initialize Task Scheduler access.");
    UniqueCom<ITaskService> service = ConnectTaskService(kActivationWording);
    UniqueBstr rootPath = MakeBstr(u"\\", kActivationWording);
    UniqueCom<ITaskFolder> root = GetTaskFolder(service.get(), rootPath.get(), kActivationWording);
};

// Deletes the task `name` from the root folder when the test leaves, however it leaves.
class TaskDeletion {
public:
    TaskDeletion(ITaskFolder* folder, const WideString& name) : folder_(folder), name_(MakeBstr(name, kActivationWording)) {}
    ~TaskDeletion() {
        if (task_) {
            StopAndDeleteTask(folder_, task_.get(), name_.get());
        } else {
            folder_->DeleteTask(name_.get(), 0);
        }
    }
    TaskDeletion(const TaskDeletion&) = delete;
    TaskDeletion& operator=(const TaskDeletion&) = delete;
    void Own(UniqueCom<IRegisteredTask> task) { task_ = std::move(task); }

private:
    ITaskFolder* folder_;
    UniqueBstr name_;
    UniqueCom<IRegisteredTask> task_;
};

// Registers a task `name` in the root folder that would run cmd.exe as the current user.
UniqueCom<IRegisteredTask> RegisterTestTask(Scheduler& scheduler, const WideString& name) {
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kActivationWording);
    const UniqueBstr program = MakeBstr(u"cmd.exe", kActivationWording);
    const UniqueBstr arguments = MakeBstr(u"/c exit 0", kActivationWording);
    AddExecAction(definition.get(), program.get(), arguments.get(), kActivationWording);
    const UniqueBstr user = MakeBstr(CurrentUserSid(), kActivationWording);
    const UniqueBstr taskName = MakeBstr(name, kActivationWording);
    return RegisterInteractiveTask(scheduler.root.get(), taskName.get(), definition.get(), user.get(),
                                   kActivationWording);
}

}  // namespace

// A failed step reports the caller's wording: with the HRESULT, or the fixed sentence alone.
TEST(TaskScheduler, WordsAFailureTheCallersWay) {
    EXPECT_EQ(MessageOf([] { CheckHresult(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), SentenceWithHresult("Could not activate task \\a")); }),
              "Could not activate task \\a (HRESULT 0x80070002).");
    EXPECT_EQ(MessageOf([] { CheckHresult(E_NOTIMPL, FixedSentence("Could not create the setup task.")); }),
              "Could not create the setup task.");
    EXPECT_EQ(MessageOf([] { CheckHresult(S_FALSE, FixedSentence("never")); }), "(no error)");
}

// A path that names no task fails GetTask with 0x80070002, from the root folder.
TEST(TaskScheduler, MissingTaskPathFailsWithFileNotFound) {
    Scheduler scheduler;
    const UniqueBstr path = MakeBstr(u"\\" + UniqueTaskName(), kActivationWording);
    EXPECT_EQ(MessageOf([&] { GetRegisteredTask(scheduler.root.get(), path.get(), kActivationWording); }),
              "Could not activate task \\x (HRESULT 0x80070002).");
}

// A registered task is found by its full path, reports a state, and is gone once deleted.
TEST(TaskScheduler, RegistersReadsAndDeletesATask) {
    Scheduler scheduler;
    const WideString name = UniqueTaskName();
    TaskRemovalResult removal;
    {
        TaskDeletion deletion(scheduler.root.get(), name);
        UniqueCom<IRegisteredTask> registered = RegisterTestTask(scheduler, name);
        ASSERT_TRUE(registered);

        const UniqueBstr fullPath = MakeBstr(u"\\" + name, kActivationWording);
        UniqueCom<IRegisteredTask> found = GetRegisteredTask(scheduler.root.get(), fullPath.get(), kActivationWording);
        ASSERT_TRUE(found);
        const TASK_STATE state = GetRegisteredTaskState(found.get(), kActivationWording);
        EXPECT_FALSE(IsTaskQueuedOrRunning(state)) << "a task that was never started is running: " << state;

        const UniqueBstr taskName = MakeBstr(name, kActivationWording);
        removal = StopAndDeleteTask(scheduler.root.get(), registered.get(), taskName.get());
    }
    EXPECT_EQ(removal.remove, S_OK);

    const UniqueBstr fullPath = MakeBstr(u"\\" + name, kActivationWording);
    EXPECT_EQ(MessageOf([&] { GetRegisteredTask(scheduler.root.get(), fullPath.get(), kActivationWording); }),
              "Could not activate task \\x (HRESULT 0x80070002).");
}

// Registering the same name twice with TASK_CREATE is refused, so concurrent setups cannot share a task.
TEST(TaskScheduler, CreateRefusesAnExistingName) {
    Scheduler scheduler;
    const WideString name = UniqueTaskName();
    TaskDeletion deletion(scheduler.root.get(), name);
    deletion.Own(RegisterTestTask(scheduler, name));
    const std::string second = MessageOf([&] { RegisterTestTask(scheduler, name); });
    EXPECT_EQ(second.rfind("Could not activate task \\x (HRESULT 0x", 0), 0u) << second;
}

// The principal setters either work or fail with the setup's own sentence, never a partial success.
TEST(TaskScheduler, PrincipalStepReportsTheFixedSentence) {
    Scheduler scheduler;
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kActivationWording);
    const UniqueBstr user = MakeBstr(CurrentUserSid(), kActivationWording);
    const std::string message = MessageOf([&] {
        SetInteractiveUserPrincipal(definition.get(), user.get(), FixedSentence("Could not configure ordinary-user setup."));
    });
    if (message == "(no error)") {
        // Where the setters work, what was set reads back.
        UniqueCom<IPrincipal> principal;
        ASSERT_EQ(definition.get()->get_Principal(principal.put()), S_OK);
        TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
        TASK_RUNLEVEL_TYPE level = TASK_RUNLEVEL_HIGHEST;
        EXPECT_EQ(principal.get()->get_LogonType(&logon), S_OK);
        EXPECT_EQ(principal.get()->get_RunLevel(&level), S_OK);
        EXPECT_EQ(logon, TASK_LOGON_INTERACTIVE_TOKEN);
        EXPECT_EQ(level, TASK_RUNLEVEL_LUA);
    } else {
        EXPECT_EQ(message, "Could not configure ordinary-user setup.");
    }
}

// Nested entries into the multithreaded apartment each take and return their own
// reference; a thread in a single-threaded apartment keeps it untouched.
TEST(ComApartment, LeavesAnotherApartmentAsItWas) {
    {
        UniqueComApartment outer = EnterComApartment("x");
        UniqueComApartment inner = EnterComApartment("x");
        EXPECT_TRUE(outer.held());
        EXPECT_TRUE(inner.held());
    }

    bool enteredHeld = true;
    HRESULT afterwards = E_FAIL;
    std::thread sta([&] {
        if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
        {
            UniqueComApartment apartment = EnterComApartment("x");
            enteredHeld = apartment.held();
        }
        // Still single-threaded: asking for it again only adds a reference.
        afterwards = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(afterwards)) ::CoUninitialize();
        ::CoUninitialize();
    });
    sta.join();
    EXPECT_FALSE(enteredHeld);
    EXPECT_EQ(afterwards, S_FALSE);
}
