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
    std::function<std::map<std::string, WideString>(std::uint64_t elapsed)> registrations = [](std::uint64_t) {
        return std::map<std::string, WideString>();
    };
    // Whether the task is queued or running when a check looks at it.
    std::function<bool(std::uint64_t elapsed)> taskActive = [](std::uint64_t) { return false; };
    std::uint64_t activationCostMs = 0;

    int opens = 0;
    bool holding = false;
    std::vector<std::uint64_t> loads;
    std::vector<std::uint64_t> activations;
    int runs = 0;
    std::vector<std::uint32_t> sleeps;
    std::vector<std::uint32_t> instanceWaits;
    std::vector<std::string> allowlistQueries;

    std::uint64_t Elapsed() const { return now - kStart; }

    PipeConnectSeam Seam() {
        PipeConnectSeam seam;
        seam.tickCount = [this] { return now; };
        seam.sleep = [this](std::uint32_t ms) {
            sleeps.push_back(ms);
            now += ms;
        };
        seam.findAllowlisted = [this](const std::string& path) {
            allowlistQueries.push_back(path);
            return allowlisted ? std::optional<AllowlistEntry>(AllowlistEntry{}) : std::nullopt;
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
            EXPECT_EQ(task, kTask);
            const bool start = !taskActive(Elapsed());
            if (start) ++runs;
            now += activationCostMs;
            return start;
        };
        seam.checkConnected = [this](const std::string& path, const std::string&) {
            EXPECT_TRUE(holding);
            EXPECT_EQ(path, kPipe);
            return std::string("S-1-5-18 / app");
        };
        seam.closeOpened = [this] { holding = false; };
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

using Registrations = std::map<std::string, WideString>;

// The wait schedules, each a row: what the pipe, the registrations and the
// task do over time, and how the call ends. On every row the pauses between
// attempts at a missing pipe are 50 ms, the waits for a busy one's instance
// 100 ms, and registrations and task are looked at about every 250 ms.
TEST(ConnectPipe, FollowsTheWaitSchedule) {
    using Pipe = std::function<PipeOpenAttempt(std::uint64_t)>;
    using Table = std::function<Registrations(std::uint64_t)>;
    using Active = std::function<bool(std::uint64_t)>;
    const Pipe missing = [](std::uint64_t) { return Failed(kErrorFileNotFound); };
    const Table registered = [](std::uint64_t) { return Registered(); };
    const Table unregistered = [](std::uint64_t) { return Registrations{{"\\\\.\\pipe\\other", kTask}}; };
    const Active idle = [](std::uint64_t) { return false; };
    const Active running = [](std::uint64_t) { return true; };
    const std::string unavailable = "The named pipe app is unavailable (Windows error 2).";
    struct Case {
        const char* name;
        Pipe pipe;
        Table registrations;
        Active taskActive;
        std::string message;
        std::uint64_t elapsed;  // when the call ended
        int runs;               // of the task
        std::size_t loads;      // of the registrations (0: not read)
    };
    const Case cases[] = {
        // Unregistered: tried every 50 ms for 5 s, the file read once at the first miss.
        {"unregistered", missing, unregistered, idle, unavailable, kPipeWaitLimitMs, 0, 1},
        // Registered: the task runs once and its pipe is waited for 15 s
        // from the first check, and taken as soon as it exists.
        {"activated, never comes", missing, registered, idle, unavailable, kActivatedPipeWaitLimitMs, 1, 1},
        {"activated, comes at 7 s", [](std::uint64_t t) { return t >= 7000 ? Opened() : Failed(kErrorFileNotFound); },
         registered, idle, "(no error)", 7000, 1, 1},
        // A running task is not run again but checked until the deadline.
        {"task running", missing, registered, running, unavailable, kActivatedPipeWaitLimitMs, 0, 60},
        // When it stops, the next check runs it, and checks end there.
        {"task stops at 2 s", missing, registered, [](std::uint64_t t) { return t < 2000; }, unavailable,
         kActivatedPipeWaitLimitMs, 1, 9},
        // A registration removed ends the checks; the first deadline stays.
        {"registration removed at 1 s", missing,
         [](std::uint64_t t) { return t < 1000 ? Registered() : Registrations(); }, running, unavailable,
         kActivatedPipeWaitLimitMs, 0, 5},
        // Busy: 100 ms waits for an instance, no pauses, no activation (given
        // up after 5 s with error 231: ConnectPipeOnWine).
        {"busy until 300 ms", [](std::uint64_t t) { return t >= 300 ? Opened() : Failed(kErrorPipeBusy); }, registered,
         idle, "(no error)", 300, 0, 0},
        // Any other error ends the call at once.
        {"access denied", [](std::uint64_t) { return Failed(5); }, registered, idle,
         "The named pipe app is unavailable (Windows error 5).", 0, 0, 0},
    };
    for (const Case& c : cases) {
        FakeHost host;
        host.pipe = c.pipe;
        host.registrations = c.registrations;
        host.taskActive = c.taskActive;
        EXPECT_EQ(host.Connect(), c.message) << c.name;
        EXPECT_EQ(host.Elapsed(), c.elapsed) << c.name;
        EXPECT_EQ(host.runs, c.runs) << c.name;
        EXPECT_EQ(host.loads.size(), c.loads) << c.name;
        EXPECT_EQ(host.label, c.message == "(no error)" ? "S-1-5-18 / app" : "") << c.name;
        for (std::uint32_t pause : host.sleeps) EXPECT_EQ(pause, kMissingPipePauseMs) << c.name;
        for (std::uint32_t wait : host.instanceWaits) EXPECT_EQ(wait, kBusyPipeWaitMs) << c.name;
        for (std::size_t i = 1; i < host.loads.size(); ++i) {
            EXPECT_GE(host.loads[i] - host.loads[i - 1], kRegistrationCheckIntervalMs) << c.name;
            EXPECT_LT(host.loads[i] - host.loads[i - 1], kRegistrationCheckIntervalMs + kMissingPipePauseMs) << c.name;
        }
        // The task is looked at on every check but the one that found no registration.
        EXPECT_LE(host.loads.size() - host.activations.size(), 1u) << c.name;
    }
}

// The scheduler's own time counts: the 15 s run from the end of the first check.
TEST(ConnectPipe, CountsTheActivatedWaitFromTheEndOfTheFirstCheck) {
    FakeHost host;
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.activationCostMs = 120;
    EXPECT_EQ(host.Connect(), "The named pipe app is unavailable (Windows error 2).");
    EXPECT_GE(host.Elapsed(), 120 + kActivatedPipeWaitLimitMs);
    EXPECT_LT(host.Elapsed(), 120 + kActivatedPipeWaitLimitMs + kMissingPipePauseMs);
}

// Nothing is opened and no registration is read for a bad or unlisted path,
// even when the pipe exists and is registered; the path is canonical for all.
TEST(ConnectPipe, RefusesBadAndUnlistedPathsBeforeAnyOpen) {
    FakeHost host;
    host.pipe = [](std::uint64_t) { return Opened(); };
    host.registrations = [](std::uint64_t) { return Registered(); };
    host.allowlisted = false;
    EXPECT_EQ(host.Connect("\\\\.\\PIPE\\App.Server"), "This named pipe is not in the HTTP allowlist.");
    EXPECT_EQ(host.Connect("pipe\\app"), "Enter a local named pipe path beginning with \\\\.\\pipe\\.");
    EXPECT_EQ(host.opens, 0);
    EXPECT_TRUE(host.loads.empty());
    EXPECT_EQ(host.allowlistQueries, std::vector<std::string>{kPipe});
}
