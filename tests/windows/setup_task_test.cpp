// The temporary setup task against Wine's Task Scheduler, as far as it goes:
// registration works there, running a task does not (E_NOTIMPL), which is
// what a machine without a signed-in desktop user answers too.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include "setup/setup_task_win32.h"
#include "support/child_process_win32.h"
#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "support/setup_support_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

WideString NewTestIdentifier() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return u"{test}";
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return FromWin(text);
}

}  // namespace

// A registered setup task that cannot be run is reported as needing a
// desktop sign-in, and is deleted before the run returns.
TEST(SetupTask, DeletesARegisteredTaskThatCannotRun) {
    const WideString identifier = NewTestIdentifier();
    const std::wstring name = L"QuorlTholm-Setup-" + AsWstring(identifier);
    const WideString installer = Utf8ToWide("C:\\windows\\system32\\cmd.exe");
    std::string message;
    {
        const SetupTaskScheduler scheduler = OpenSetupTaskScheduler();
        const UniqueCom<ITaskDefinition> definition = NewSetupTaskDefinition(scheduler.service.get());
        ConfigureSetupTaskLimits(definition.get());
        ConfigureSetupTaskCommand(definition.get(), installer);
        message = MessageOf(
            [&] { RunSetupTaskDefinition(scheduler.root.get(), definition.get(), identifier, CurrentUserSid()); });
    }
    EXPECT_EQ(message, "Sign in to the Windows desktop before installing Quorl Tholm.");
    EXPECT_FALSE(RootTaskExists(name));
}

// A task name already taken is not overwritten (TASK_CREATE only): the run
// fails at registration and the other task stays.
TEST(SetupTask, NeverReplacesAnExistingTask) {
    const WideString identifier = NewTestIdentifier();
    const std::wstring name = L"QuorlTholm-Setup-" + AsWstring(identifier);
    const SetupTaskScheduler scheduler = OpenSetupTaskScheduler();
    const UniqueCom<ITaskDefinition> definition = NewSetupTaskDefinition(scheduler.service.get());
    ConfigureSetupTaskLimits(definition.get());
    ConfigureSetupTaskCommand(definition.get(), Utf8ToWide("C:\\windows\\system32\\cmd.exe"));

    UniqueBstr taskName(::SysAllocString(name.c_str()));
    VARIANT empty;
    ::VariantInit(&empty);
    UniqueCom<IRegisteredTask> existing;
    ASSERT_TRUE(SUCCEEDED(scheduler.root.get()->RegisterTaskDefinition(taskName.get(), definition.get(), TASK_CREATE,
                                                                       empty, empty, TASK_LOGON_INTERACTIVE_TOKEN,
                                                                       empty, existing.put())));
    const std::string message = MessageOf(
        [&] { RunSetupTaskDefinition(scheduler.root.get(), definition.get(), identifier, CurrentUserSid()); });
    const bool stillThere = RootTaskExists(name);
    scheduler.root.get()->DeleteTask(taskName.get(), 0);
    EXPECT_EQ(message, "Could not register the ordinary-user setup task.");
    EXPECT_TRUE(stillThere);
    EXPECT_FALSE(RootTaskExists(name));
}

// The task of an elevated run's removed leftover goes once it is neither
// queued nor running (Wine never runs one).
TEST(SetupTask, RemovesTheIdleTaskOfALeftover) {
    TestScheduler scheduler;
    const TestTask task(scheduler, u"QuorlTholm-Setup-" + NewTestIdentifier());
    ASSERT_TRUE(RootTaskExists(AsWstring(task.Name())));
    RemoveIdleSetupTask(task.Name());
    EXPECT_FALSE(RootTaskExists(AsWstring(task.Name())));
}
