// Staging names and access control, the publisher comparison, and the
// schedule of the wait for the setup task, with a fake clock.

#include <gtest/gtest.h>

#include <vector>

#include "setup/setup_staging.h"
#include "setup/setup_task.h"
#include "support/error_message.h"

// The user gets full access when not elevated, read and execute only when
// elevated; the DACL is protected and inherited by everything inside.
TEST(SetupStagingRules, ProtectsTheDirectoryByElevation) {
    EXPECT_EQ(SetupStagingSddl(false, u"S-1-5-21-1-2-3-1001"),
              u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)");
    EXPECT_EQ(SetupStagingSddl(true, u"S-1-5-21-1-2-3-1001"),
              u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;S-1-5-21-1-2-3-1001)");
}

TEST(SetupStagingRules, JoinsPathsWithOneSeparator) {
    EXPECT_EQ(JoinSetupPath(u"C:\\Users\\u\\Temp\\", u"x"), u"C:\\Users\\u\\Temp\\x");
    EXPECT_EQ(JoinSetupPath(u"C:\\Temp/", u"x"), u"C:\\Temp/x");
    EXPECT_EQ(JoinSetupPath(u"C:\\ProgramData", u"x"), u"C:\\ProgramData\\x");
    const WideString id = u"{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}";
    EXPECT_EQ(SetupRunName(id), u"QuorlTholm-Setup-{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}");
}

// Only the exact publisher name is accepted: a name differing in letter case,
// spacing, length or by a look-alike character is someone else.
TEST(SetupPublisher, AcceptsOnlyTheExactName) {
    EXPECT_TRUE(IsExpectedSetupPublisher(u"Quorl Tholm Ltd"));
    for (const WideString& other : std::vector<WideString>{
             u"quorl tholm ltd", u"Quorl Tholm LTD", u"Quorl Tholm Ltd ", u" Quorl Tholm Ltd", u"Quorl Tholm Ltd.",
             u"Quorl  Tholm Ltd", u"Quorl Tholm Lt", u"", u"Quorl Tholm\u00A0Ltd", u"Quorl Tholm Lt\u0064\u0307",
             WideString(u"Quorl Tholm Ltd\0", 16)}) {
        EXPECT_FALSE(IsExpectedSetupPublisher(other)) << WideString(other).size();
    }
}

namespace {

// Task Scheduler and the clock as the wait sees them: each refresh takes the
// next scripted answer; sleeping advances the clock.
struct FakeTaskRun {
    FakeTaskRun(std::vector<std::int32_t> refreshAnswers, std::vector<std::int32_t> stateAnswers)
        : refreshes(std::move(refreshAnswers)), states(std::move(stateAnswers)) {}

    std::vector<std::int32_t> refreshes;  // HRESULT per poll; past the end: S_OK
    std::vector<std::int32_t> states;     // state per poll; past the end: the last one
    std::int32_t stateResult = 0;
    std::uint64_t now = 1000;
    std::size_t polls = 0;
    std::vector<std::uint32_t> sleeps;

    SetupTaskWatch Watch() {
        SetupTaskWatch watch;
        watch.refresh = [this] { return polls < refreshes.size() ? refreshes[polls++] : (++polls, 0); };
        watch.state = [this](std::int32_t& state) {
            if (stateResult < 0) return stateResult;
            state = states[polls - 1 < states.size() ? polls - 1 : states.size() - 1];
            return 0;
        };
        watch.tickCount = [this] { return now; };
        watch.sleep = [this](std::uint32_t ms) {
            sleeps.push_back(ms);
            now += ms;
        };
        return watch;
    }
};

}  // namespace

// An installer that has already finished ends the wait at the first poll,
// without sleeping, whichever way Task Scheduler says so.
TEST(WaitForSetupTask, EndsAtOnceWhenTheRunHasEnded) {
    FakeTaskRun ended{{kSetupTaskNotRunning}, {}};
    WaitForSetupTask(ended.Watch(), ended.now);
    EXPECT_EQ(ended.polls, 1u);
    EXPECT_TRUE(ended.sleeps.empty());

    FakeTaskRun ready{{}, {3}};  // TASK_STATE_READY
    WaitForSetupTask(ready.Watch(), ready.now);
    EXPECT_EQ(ready.polls, 1u);
    EXPECT_TRUE(ready.sleeps.empty());
}

// Queued and running keep the wait going at 200 ms; the first other state ends it.
TEST(WaitForSetupTask, PollsEvery200MsWhileQueuedOrRunning) {
    FakeTaskRun run{{}, {kSetupTaskStateQueued, kSetupTaskStateRunning, kSetupTaskStateRunning, 3}};
    WaitForSetupTask(run.Watch(), run.now);
    EXPECT_EQ(run.polls, 4u);
    EXPECT_EQ(run.sleeps, (std::vector<std::uint32_t>{200, 200, 200}));

    FakeTaskRun thenEnded{{0, 0, kSetupTaskNotRunning}, {kSetupTaskStateRunning}};
    WaitForSetupTask(thenEnded.Watch(), thenEnded.now);
    EXPECT_EQ(thenEnded.polls, 3u);
}

// Still running when 900000 ms have passed since the start: timed out, not a
// poll earlier and not a poll later.
TEST(WaitForSetupTask, TimesOutFifteenMinutesAfterTheStart) {
    FakeTaskRun run{{}, {kSetupTaskStateRunning}};
    const std::uint64_t start = run.now;
    EXPECT_EQ(MessageOf([&] { WaitForSetupTask(run.Watch(), start); }), "Quorl Tholm setup timed out.");
    EXPECT_EQ(run.now, start + 900000);
    EXPECT_EQ(run.sleeps.size(), 900000u / 200u);
}

TEST(WaitForSetupTask, ReportsAFailedRefreshOrStateQuery) {
    FakeTaskRun refresh{{0, static_cast<std::int32_t>(0x80070005)}, {kSetupTaskStateRunning}};
    EXPECT_EQ(MessageOf([&] { WaitForSetupTask(refresh.Watch(), refresh.now); }),
              "Could not check Quorl Tholm setup progress.");
    EXPECT_EQ(refresh.polls, 2u);

    FakeTaskRun state{{}, {kSetupTaskStateRunning}};
    state.stateResult = static_cast<std::int32_t>(0x80004001);
    EXPECT_EQ(MessageOf([&] { WaitForSetupTask(state.Watch(), state.now); }),
              "Could not check Quorl Tholm setup progress.");
}
