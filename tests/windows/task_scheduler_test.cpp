// The Task Scheduler steps against the system's scheduler. Every task a test
// registers has a unique name and is deleted by a guard on every path.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/current_user_win32.h"
#include "text/encoding.h"

namespace {

const HresultWording kActivationWording = SentenceWithHresult("Could not activate task \\x");

}  // namespace

// A failed step reports the caller's wording: with the HRESULT, or the fixed sentence alone.
TEST(TaskScheduler, WordsAFailureTheCallersWay) {
    EXPECT_EQ(MessageOf([] {
                  CheckHresult(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                               SentenceWithHresult("Could not activate task \\a"));
              }),
              "Could not activate task \\a (HRESULT 0x80070002).");
    EXPECT_EQ(MessageOf([] { CheckHresult(E_NOTIMPL, FixedSentence("Could not create the setup task.")); }),
              "Could not create the setup task.");
    EXPECT_EQ(MessageOf([] { CheckHresult(S_FALSE, FixedSentence("never")); }), "(no error)");
}

// A path that names no task fails GetTask with 0x80070002, from the root folder.
TEST(TaskScheduler, MissingTaskPathFailsWithFileNotFound) {
    TestScheduler scheduler;
    const UniqueBstr path = MakeBstr(u"\\" + UniqueTaskName(), kActivationWording);
    EXPECT_EQ(MessageOf([&] { GetRegisteredTask(scheduler.root.get(), path.get(), kActivationWording); }),
              "Could not activate task \\x (HRESULT 0x80070002).");
}

// A registered task is found by its full path, reports a state, and is gone once deleted.
TEST(TaskScheduler, RegistersReadsAndDeletesATask) {
    TestScheduler scheduler;
    const WideString name = UniqueTaskName();
    TestTask task(scheduler, name);

    const UniqueBstr fullPath = MakeBstr(task.FullPath(), kActivationWording);
    UniqueCom<IRegisteredTask> found = GetRegisteredTask(scheduler.root.get(), fullPath.get(), kActivationWording);
    ASSERT_TRUE(found);
    const TASK_STATE state = GetRegisteredTaskState(found.get(), kActivationWording);
    EXPECT_FALSE(IsTaskQueuedOrRunning(state)) << "a task that was never started is busy: " << state;

    const UniqueBstr taskName = MakeBstr(name, kActivationWording);
    EXPECT_EQ(StopAndDeleteTask(scheduler.root.get(), task.Registered(), taskName.get()).remove, S_OK);
    EXPECT_EQ(MessageOf([&] { GetRegisteredTask(scheduler.root.get(), fullPath.get(), kActivationWording); }),
              "Could not activate task \\x (HRESULT 0x80070002).");
}

// Registering the same name twice with TASK_CREATE is refused, so concurrent setups cannot share a task.
TEST(TaskScheduler, CreateRefusesAnExistingName) {
    TestScheduler scheduler;
    const WideString name = UniqueTaskName();
    TestTask first(scheduler, name);
    const std::string second = MessageOf([&] { RegisterTestTask(scheduler, name); });
    EXPECT_EQ(second.rfind("Test task step failed (HRESULT 0x", 0), 0u) << second;
}

// Wine's IPrincipal::put_* are not implemented: the step fails with the
// setup's own sentence, never a partial success.
TEST(TaskScheduler, PrincipalStepReportsTheFixedSentence) {
    TestScheduler scheduler;
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kActivationWording);
    const UniqueBstr user = MakeBstr(CurrentUserSid(), kActivationWording);
    EXPECT_EQ(MessageOf([&] {
                  SetInteractiveUserPrincipal(definition.get(), user.get(),
                                              FixedSentence("Could not configure ordinary-user setup."));
              }),
              "Could not configure ordinary-user setup.");
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
