// ActivateTask's rules against a fake scheduler that records each step.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "activation/activate_task.h"
#include "support/error_message.h"
#include "text/program_error.h"

namespace {

// A scheduler with one task; `failAt` names the step that fails with `failure`.
struct FakeScheduler {
    std::uint32_t state = 3;  // TASK_STATE_READY
    std::string failAt;
    std::uint32_t failure = 0x80070002;
    std::string principalRefusal;
    std::vector<std::string> steps;

    void Step(const std::string& name, const HresultWording& wording) {
        steps.push_back(name);
        if (failAt == name) throw ProgramError(wording(failure));
    }

    TaskActivationSteps Steps() {
        TaskActivationSteps result;
        result.openTask = [this](const WideString&, const HresultWording& wording) { Step("open", wording); };
        result.readPrincipal = [this](const HresultWording& wording) { Step("principal", wording); };
        result.checkPrincipal = [this] {
            steps.push_back("check");
            if (!principalRefusal.empty()) throw ProgramError(principalRefusal);
        };
        result.readState = [this](const HresultWording& wording) {
            Step("state", wording);
            return state;
        };
        result.run = [this](const HresultWording& wording) { Step("run", wording); };
        return result;
    }

    bool started = false;
    std::string Activate(const WideString& path = u"\\Apps\\Server") {
        const TaskActivationSteps steps = Steps();
        return MessageOf([&] { started = ActivateTaskWith(path, steps); });
    }
};

using Steps = std::vector<std::string>;

}  // namespace

// The principal is checked, then the state read; queued and running tasks
// are left alone, every other state is run, once.
TEST(ActivateTask, RunsOnlyWhenNeitherQueuedNorRunning) {
    for (std::uint32_t state : {0u, 1u, 2u, 3u, 4u}) {
        FakeScheduler scheduler;
        scheduler.state = state;
        EXPECT_EQ(scheduler.Activate(), "(no error)");
        const bool active = state == kTaskStateQueued || state == kTaskStateRunning;
        EXPECT_EQ(scheduler.started, !active) << "state " << state;
        Steps expected{"open", "principal", "check", "state", "run"};
        if (active) expected.pop_back();
        EXPECT_EQ(scheduler.steps, expected) << "state " << state;
    }
}

// An unsuitable principal fails the activation even while the task runs: the
// check comes before the state is read.
TEST(ActivateTask, RefusesAnUnsuitablePrincipalWhateverTheState) {
    FakeScheduler scheduler;
    scheduler.state = kTaskStateRunning;
    scheduler.principalRefusal = "Named pipe activation requires a non-elevated interactive task for the current user.";
    EXPECT_EQ(scheduler.Activate(), scheduler.principalRefusal);
    EXPECT_EQ(scheduler.steps, (Steps{"open", "principal", "check"}));
}

// Every failed scheduler step is reported with the task path (as UTF-8) and
// the step's HRESULT, and ends the activation there.
TEST(ActivateTask, ReportsAFailedStepWithTheTaskPathAndHresult) {
    const Steps order = {"open", "principal", "state", "run"};
    for (std::size_t i = 0; i < order.size(); ++i) {
        FakeScheduler scheduler;
        scheduler.failAt = order[i];
        scheduler.failure = 0x80004001;
        EXPECT_EQ(scheduler.Activate(u"\\J\u00F6rg\\Start app"),
                  "Could not activate task \\J\xC3\xB6rg\\Start app (HRESULT 0x80004001).")
            << order[i];
        EXPECT_EQ(scheduler.steps.back(), order[i]);
        EXPECT_FALSE(scheduler.started);
    }
}
