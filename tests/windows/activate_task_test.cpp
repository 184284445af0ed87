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

// A task registered for the current user with the interactive token is
// judged by what the scheduler reports of its principal: refused when the
// principal cannot be read as non-elevated and interactive (as under Wine),
// otherwise started, or reported with the HRESULT of a run that fails.
TEST(ActivateTask, JudgesARegisteredTaskByItsReportedPrincipal) {
    TestScheduler scheduler;
    TestTask task(scheduler, UniqueTaskName());
    const UniqueCom<IPrincipal> principal = GetRegisteredPrincipal(task.Registered(), kWording);
    const TaskPrincipalFacts facts = ReadTaskPrincipal(principal.get());
    const bool suitable = facts.readAll && facts.runLevel == kTaskRunLevelLua &&
                          facts.logonType == kTaskLogonInteractiveToken && !facts.userId.empty();

    bool started = false;
    const std::string message = MessageOf([&] { started = ActivateTask(task.FullPath()); });
    if (!suitable) {
        EXPECT_EQ(message, kTaskPrincipalMessage);
    } else if (message == "(no error)") {
        EXPECT_TRUE(started);
    } else {
        const std::string expected = "Could not activate task " + WideToUtf8(task.FullPath()) + " (HRESULT 0x";
        EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
    }
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

// A missing principal and one whose reads fail count as unreadable; a fresh
// definition's principal reads back its defaults.
TEST(ReadTaskPrincipal, ReadsAllThreeOrMarksTheFailure) {
    EXPECT_FALSE(ReadTaskPrincipal(nullptr).readAll);

    TestScheduler scheduler;
    UniqueCom<ITaskDefinition> definition = NewTaskDefinition(scheduler.service.get(), kWording);
    UniqueCom<IPrincipal> principal;
    ASSERT_EQ(definition.get()->get_Principal(principal.put()), S_OK);
    const TaskPrincipalFacts facts = ReadTaskPrincipal(principal.get());
    TASK_RUNLEVEL_TYPE level = TASK_RUNLEVEL_HIGHEST;
    if (SUCCEEDED(principal.get()->get_RunLevel(&level))) {
        EXPECT_EQ(facts.runLevel, static_cast<int>(level));
    } else {
        EXPECT_FALSE(facts.readAll);
    }
}
