// The wait schedule of ConnectPipe, against a fake clock, fake pipes, fake
// registrations and a fake scheduler: no test waits in real time.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "activation/connect_pipe.h"
#include "support/error_message.h"
#include "text/program_error.h"

namespace {

constexpr std::uint64_t kStart = 7000000;
constexpr std::uint64_t kRunaway = 60000;
const std::string kPipe = "\\\\.\\pipe\\app.server";
const WideString kTask = u"\\Apps\\Start server";

std::map<std::string, WideString> Registered() { return {{kPipe, kTask}}; }

// A machine whose clock moves only when the code under test sleeps, waits or
// calls the scheduler. Every call is recorded with the time it was made.
struct FakeHost {
    std::uint64_t now = kStart;
    bool allowlisted = true;
    // The pipe as the open sees it at a given time since the start.
    std::function<PipeOpenAttempt(std::uint64_t elapsed)> pipe = [](std::uint64_t) {
        return PipeOpenAttempt{false, kErrorFileNotFound};
    };
    // The registrations file at a given time since the start.
    std::function<std::map<std::string, WideString>(std::uint64_t elapsed)> registrations =
        [](std::uint64_t) { return std::map<std::string, WideString>(); };
    // Whether the task is queued or running when a check looks at it.
    std::function<bool(std::uint64_t elapsed)> taskActive = [](std::uint64_t) { return false; };
    std::uint64_t activationCostMs = 0;
    std::function<std::string()> verify = [] { return std::string("S-1-5-18 / app"); };

    int opens = 0;
    bool holding = false;
    int closes = 0;
    std::vector<std::uint64_t> loads;
    std::vector<std::uint64_t> activations;
    std::vector<WideString> activatedTasks;
    int runs = 0;
    std::vector<std::uint32_t> sleeps;
    std::vector<std::uint32_t> instanceWaits;
    std::vector<std::string> verified;
    std::vector<std::string> allowlistQueries;

    std::uint64_t Elapsed() const { return now - kStart; }

    PipeConnectSeam Seam() {
        PipeConnectSeam seam;
        seam.tickCount = [this] { return now; };
        seam.sleep = [this](std::uint32_t ms) {
            sleeps.push_back(ms);
            now += ms;
        };
        seam.isAllowlisted = [this](const std::string& path) {
            allowlistQueries.push_back(path);
            return allowlisted;
        };
        seam.open = [this](const std::string& path) {
            EXPECT_EQ(path, kPipe);
            ++opens;
            // A schedule that never gives up would otherwise hang the test.
            if (Elapsed() > kRunaway) throw std::runtime_error("the wait ran past a minute");
            const PipeOpenAttempt attempt = pipe(Elapsed());
            holding = attempt.opened;
            return attempt;
        };
        seam.waitForInstance = [this](const WideString& path, std::uint32_t ms) {
            EXPECT_EQ(path, Utf8ToWide(kPipe));
            instanceWaits.push_back(ms);
            now += ms;
        };
        seam.loadRegistrations = [this] {
            loads.push_back(Elapsed());
            return registrations(Elapsed());
        };
        seam.activateTask = [this](const WideString& task) {
            activations.push_back(Elapsed());
            activatedTasks.push_back(task);
            const bool start = !taskActive(Elapsed());
            if (start) ++runs;
            now += activationCostMs;
            return start;
        };
        seam.checkConnected = [this](const std::string& path) {
            EXPECT_TRUE(holding);
            verified.push_back(path);
            return verify();
        };
        seam.closeOpened = [this] {
            ++closes;
            holding = false;
        };
        return seam;
    }

    std::string Connect(std::string_view path = kPipe) {
        const PipeConnectSeam seam = Seam();
        return MessageOf([&] { label = ConnectPipeWith(path, seam); });
    }

    std::string label;
};

PipeOpenAttempt Opened() { return {true, 0}; }
PipeOpenAttempt Failed(std::uint32_t error) { return {false, error}; }

}  // namespace

// A pipe that exists is opened at the first attempt: no registration is read,
// no task is touched, nothing waits.
TEST(ConnectPipe, OpensAnExistingPipeAtOnce) {
    FakeHost host;
    host.pipe = [](std::uint64_t) { return Opened(); };
    host.registrations = [](std::uint64_t) { return Registered(); };

    EXPECT_EQ(host.Connect("\\\\.\\PIPE\\App.Server"), "(no error)");
    EXPECT_EQ(host.label, "S-1-5-18 / app");
    EXPECT_EQ(host.opens, 1);
    EXPECT_TRUE(host.loads.empty());
    EXPECT_TRUE(host.activations.empty());
    EXPECT_TRUE(host.sleeps.empty());
    EXPECT_EQ(host.verified, std::vector<std::string>{kPipe});
    EXPECT_EQ(host.allowlistQueries, std::vector<std::string>{kPipe});
    EXPECT_EQ(host.closes, 0);
    EXPECT_EQ(host.Elapsed(), 0u);
}

// Nothing is opened and no registration is read for a bad or unlisted path,
// even when the pipe exists and is registered.
TEST(ConnectPipe, RefusesBadAndUnlistedPathsBeforeAnyOpen) {
    FakeHost host;
    host.pipe = [](std::uint64_t) { return Opened(); };
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.allowlisted = false;
    EXPECT_EQ(host.Connect(), "This named pipe is not in the HTTP allowlist.");
    EXPECT_EQ(host.Connect("pipe\\app"), "Enter a local named pipe path beginning with \\\\.\\pipe\\.");
    EXPECT_EQ(host.opens, 0);
    EXPECT_TRUE(host.loads.empty());
    EXPECT_EQ(host.allowlistQueries.size(), 1u);
}

// A missing pipe with no registration is tried every 50 ms for 5 s; the file
// is read once, at the first miss, and the error of the last attempt is 2.
TEST(ConnectPipe, UnregisteredMissingPipeFailsAfterFiveSeconds) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return std::map<std::string, WideString>{{"\\\\.\\pipe\\other", kTask}}; };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    EXPECT_EQ(host.loads, std::vector<std::uint64_t>{0});
    EXPECT_TRUE(host.activations.empty());
    EXPECT_EQ(host.Elapsed(), kPipeWaitLimitMs);
    EXPECT_EQ(host.opens, 101);  // at 0, 50, ..., 5000 ms
    for (std::uint32_t pause : host.sleeps) EXPECT_EQ(pause, kMissingPipePauseMs);
    EXPECT_TRUE(host.instanceWaits.empty());
}

// A registered pipe's task is run once; the wait then lasts 15 s from the end
// of that first check (after the scheduler's own time), without further reads.
TEST(ConnectPipe, RunsARegisteredTaskOnceAndWaitsFifteenSecondsForItsPipe) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.activationCostMs = 120;

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    EXPECT_EQ(host.loads, std::vector<std::uint64_t>{0});
    EXPECT_EQ(host.activatedTasks, std::vector<WideString>{kTask});
    EXPECT_EQ(host.runs, 1);
    EXPECT_GE(host.Elapsed(), 120 + kActivatedPipeWaitLimitMs);
    EXPECT_LT(host.Elapsed(), 120 + kActivatedPipeWaitLimitMs + kMissingPipePauseMs);

    // The pipe the task creates is taken as soon as it exists, past the 5 s
    // limit of an unregistered pipe.
    FakeHost appears;
    appears.registrations = [](std::uint64_t) { return Registered(); };
    appears.pipe = [](std::uint64_t elapsed) { return elapsed >= 7000 ? Opened() : Failed(kErrorFileNotFound); };
    EXPECT_EQ(appears.Connect(), "(no error)");
    EXPECT_EQ(appears.runs, 1);
    EXPECT_EQ(appears.Elapsed(), 7000u);
}

// A task that is already running is not run again; registrations and task are
// looked at about every 250 ms, and the call fails 15 s after the first check.
TEST(ConnectPipe, RechecksARunningTaskWithoutRunningIt) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.taskActive = [](std::uint64_t) { return true; };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    EXPECT_EQ(host.runs, 0);
    EXPECT_EQ(host.Elapsed(), kActivatedPipeWaitLimitMs);
    ASSERT_EQ(host.loads.size(), host.activations.size());
    ASSERT_GE(host.loads.size(), 55u);
    for (std::size_t i = 1; i < host.loads.size(); ++i) {
        const std::uint64_t gap = host.loads[i] - host.loads[i - 1];
        EXPECT_GE(gap, kRegistrationCheckIntervalMs) << "check " << i;
        EXPECT_LT(gap, kRegistrationCheckIntervalMs + kMissingPipePauseMs) << "check " << i;
    }
}

// When the running task stops, the next check runs it, and checks end there.
TEST(ConnectPipe, RunsTheTaskOnceItStops) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.taskActive = [](std::uint64_t elapsed) { return elapsed < 2000; };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    EXPECT_EQ(host.runs, 1);
    ASSERT_FALSE(host.activations.empty());
    EXPECT_GE(host.activations.back(), 2000u);
    EXPECT_LT(host.activations.back(), 2000 + kRegistrationCheckIntervalMs + kMissingPipePauseMs);
    EXPECT_EQ(host.loads.back(), host.activations.back());
    EXPECT_EQ(host.Elapsed(), kActivatedPipeWaitLimitMs);  // from the first check, not the run
}

// A registration removed during the wait ends the checks at the next one; the
// deadline set by the first check stays.
TEST(ConnectPipe, StopsCheckingWhenTheRegistrationIsRemoved) {
    FakeHost host;
    host.registrations = [](std::uint64_t elapsed) {
        return elapsed < 1000 ? Registered() : std::map<std::string, WideString>();
    };
    host.taskActive = [](std::uint64_t) { return true; };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    ASSERT_GE(host.loads.size(), 2u);
    EXPECT_GE(host.loads.back(), 1000u);
    EXPECT_LT(host.loads.back(), 1000 + kRegistrationCheckIntervalMs + kMissingPipePauseMs);
    EXPECT_EQ(host.activations.size(), host.loads.size() - 1);
    EXPECT_EQ(host.Elapsed(), kActivatedPipeWaitLimitMs);
}

// A pipe whose every instance stays busy is waited on with 100 ms waits and no
// pauses, never activates anything, and fails after 5 s with error 231.
TEST(ConnectPipe, BusyPipeFailsAfterFiveSecondsWithPipeBusy) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.pipe = [](std::uint64_t) { return Failed(kErrorPipeBusy); };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 231).");
    EXPECT_EQ(host.Elapsed(), kPipeWaitLimitMs);
    EXPECT_EQ(host.instanceWaits.size(), 50u);
    for (std::uint32_t wait : host.instanceWaits) EXPECT_EQ(wait, kBusyPipeWaitMs);
    EXPECT_TRUE(host.sleeps.empty());
    EXPECT_TRUE(host.loads.empty());

    FakeHost freed;  // one that frees an instance is opened
    freed.pipe = [](std::uint64_t elapsed) { return elapsed >= 300 ? Opened() : Failed(kErrorPipeBusy); };
    EXPECT_EQ(freed.Connect(), "(no error)");
    EXPECT_EQ(freed.instanceWaits.size(), 3u);
}

// Any other open error ends the call at once: no wait, no activation.
TEST(ConnectPipe, AccessDeniedFailsAtOnce) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.pipe = [](std::uint64_t) { return Failed(5); };

    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 5).");
    EXPECT_EQ(host.opens, 1);
    EXPECT_EQ(host.Elapsed(), 0u);
    EXPECT_TRUE(host.loads.empty());
    EXPECT_TRUE(host.sleeps.empty());
    EXPECT_TRUE(host.instanceWaits.empty());
}

// A failing registration load or activation ends the call with its own message.
TEST(ConnectPipe, PassesOnRegistrationAndActivationErrors) {
    FakeHost broken;
    broken.registrations = [](std::uint64_t) -> std::map<std::string, WideString> {
        throw ProgramError("Duplicate named pipe in activations.tsv.");
    };
    EXPECT_EQ(broken.Connect(), "Duplicate named pipe in activations.tsv.");
    EXPECT_EQ(broken.opens, 1);

    FakeHost refused;
    refused.registrations = [](std::uint64_t) { return Registered(); };
    PipeConnectSeam seam = refused.Seam();
    seam.activateTask = [](const WideString&) -> bool {
        throw ProgramError("Named pipe activation cannot run a task as another account.");
    };
    EXPECT_EQ(MessageOf([&] { ConnectPipeWith(kPipe, seam); }),
              "Named pipe activation cannot run a task as another account.");
    EXPECT_EQ(refused.closes, 0);
}

// A pipe refused by the verification is closed before the error leaves, and
// the verification's message is the call's.
TEST(ConnectPipe, ClosesARefusedPipeBeforeTheErrorLeaves) {
    FakeHost host;
    host.pipe = [](std::uint64_t) { return Opened(); };
    host.verify = []() -> std::string {
        throw ProgramError("Named pipes without a canonical identity must run as the current user.");
    };
    PipeConnectSeam seam = host.Seam();
    bool closedBeforeLeaving = false;
    try {
        ConnectPipeWith(kPipe, seam);
    } catch (const ProgramError& error) {
        closedBeforeLeaving = host.closes == 1 && !host.holding;
        EXPECT_STREQ(error.what(), "Named pipes without a canonical identity must run as the current user.");
    }
    EXPECT_TRUE(closedBeforeLeaving);
}
