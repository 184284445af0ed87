// ActivateTask against the system's scheduler, as far as it goes under Wine
// (reading a registered task's principal and running a task are not
// implemented there; those rules are covered natively with a fake scheduler).

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "activation/activate_task_win32.h"
#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "taskscheduler/task_scheduler_win32.h"

namespace {

const HresultWording kWording = SentenceWithHresult("step");

}  // namespace

// A registered task path that names no task is reported with the path and the
// scheduler's HRESULT for a missing file.
TEST(ActivateTask, ReportsATaskPathThatNamesNoTask) {
    const WideString path = u"\\" + UniqueTaskName();
    EXPECT_EQ(MessageOf([&] { ActivateTask(path); }),
              "Could not activate task " + WideToUtf8(path) + " (HRESULT 0x80070002).");
}

// A task is judged by what the scheduler reports of its principal: Wine
// cannot read a registered task's principal (E_NOTIMPL), so the task is
// refused as one that may not run as this user, never started.
TEST(ActivateTask, RefusesATaskWhosePrincipalCannotBeRead) {
    TestScheduler scheduler;
    TestTask task(scheduler, UniqueTaskName());
    const UniqueCom<IPrincipal> principal = GetRegisteredPrincipal(task.Registered(), kWording);
    EXPECT_FALSE(ReadTaskPrincipal(principal.get()).readAll);
    bool started = false;
    EXPECT_EQ(MessageOf([&] { started = ActivateTask(task.FullPath()); }), kTaskPrincipalMessage);
    EXPECT_FALSE(started);
}

// An activation leaves the thread's own apartment as it was.
TEST(ActivateTask, KeepsTheCallersApartment) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const WideString path = u"\\" + UniqueTaskName();
    EXPECT_NE(MessageOf([&] { ActivateTask(path); }), "(no error)");
    // Still initialised exactly once by this test: one more entry only adds a reference.
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    ::CoUninitialize();
    ::CoUninitialize();
}

// A missing principal, and one whose reads fail (Wine's getters are not
// implemented), count as unreadable.
TEST(ReadTaskPrincipal, MarksAPrincipalThatCannotBeRead) {
    EXPECT_FALSE(ReadTaskPrincipal(nullptr).readAll);
    TestScheduler scheduler;
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kWording);
    UniqueCom<IPrincipal> principal;
    ASSERT_EQ(definition.get()->get_Principal(principal.put()), S_OK);
    TASK_RUNLEVEL_TYPE level = TASK_RUNLEVEL_HIGHEST;
    ASSERT_EQ(principal.get()->get_RunLevel(&level), E_NOTIMPL);
    EXPECT_FALSE(ReadTaskPrincipal(principal.get()).readAll);
}
