#pragma once
// Uniquely named scheduled tasks for tests, deleted on every path.

#include <windows.h>
#include <taskschd.h>

#include "os/handles_win32.h"
#include "taskscheduler/task_scheduler_win32.h"
#include "text/encoding.h"

// "qsb-test-<process>-<tick>-<counter>": unique across runs and tests.
WideString UniqueTaskName();

// The common opening: apartment, connected service, root folder. Throws ProgramError.
struct TestScheduler {
    TestScheduler();
    UniqueComApartment apartment;
    UniqueCom<ITaskService> service;
    UniqueCom<ITaskFolder> root;
};

// A task in the root folder that would run "cmd.exe /c exit 0" as the current
// user with the interactive token; stopped and deleted when the object ends.
class TestTask {
public:
    TestTask(TestScheduler& scheduler, const WideString& name);
    ~TestTask();
    TestTask(const TestTask&) = delete;
    TestTask& operator=(const TestTask&) = delete;

    const WideString& Name() const { return name_; }
    WideString FullPath() const { return u"\\" + name_; }
    IRegisteredTask* Registered() const { return task_.get(); }

private:
    ITaskFolder* folder_;
    WideString name_;
    UniqueCom<IRegisteredTask> task_;
};
