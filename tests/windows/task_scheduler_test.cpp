// The Task Scheduler steps against the system's scheduler. Every task a test
// registers has a unique name and is deleted by a guard on every path.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/encoding.h"

const HresultWording kActivationWording = SentenceWithHresult("Could not activate task \\x");

// A registered task is found by its full path, reports a state, and is gone
// once deleted: its path then fails GetTask with 0x80070002. (A name already
// taken is refused: SetupTask.NeverReplacesATaskAndLeavesNoneBehind.)
TEST(TaskScheduler, RegistersReadsAndDeletesATaskOfItsOwnName) {
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

// A thread in a single-threaded apartment keeps it untouched.
TEST(ComApartment, LeavesAnotherApartmentAsItWas) {
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
