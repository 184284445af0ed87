// Staging names, the publisher comparison, and the
// schedule of the wait for the setup task, with a fake clock.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "setup/setup_staging.h"
#include "setup/setup_task.h"
#include "support/error_message.h"
#include "support/fake_control_files.h"
#include "text/program_error.h"

// Leftovers are only what this program names, exactly, and only once the
// setup deadline (15 minutes) has passed since the folder was made.
TEST(SetupStagingRules, RecognisesOnlyItsOwnStaleRunNames) {
    const WideString id = u"{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}";
    EXPECT_EQ(SetupRunName(id), u"QuorlTholm-Setup-{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}");
    EXPECT_TRUE(IsSetupRunName(SetupRunName(id)));
    // Lower-case hex, no braces, a suffix or a prefix: RemoveSetupLeftovers' look-alikes under Wine.
    for (const WideString other : {u"QuorlTholm-Setup-{0F87369F-A4E5-4CFC-BD3E-73E6154572DG}",
                                   u"QuorlTholm-Setup-{0F87369F-A4E5-4CFC-BD3E-73E6154572D-}",
                                   u"QuorlTholm-Setup-{0F87369FA-4E5-4CFC-BD3E-73E6154572DD}", u"QuorlTholm-Setup-"}) {
        EXPECT_FALSE(IsSetupRunName(other)) << std::string(other.begin(), other.end());
    }
    constexpr std::uint64_t minute = 600000000;  // 100 ns units
    constexpr std::uint64_t now = 1000 * minute;
    EXPECT_TRUE(IsStaleSetupStaging(now - 15 * minute, now));
    EXPECT_FALSE(IsStaleSetupStaging(now - 15 * minute + 1, now));
    EXPECT_FALSE(IsStaleSetupStaging(now + 20 * minute, now));  // made "later": a clock change
}

// A leftover is taken for a run's own only when the user could not have made
// it: not elevated, the user's own; elevated, owned by Administrators and
// changeable by nobody else, as the elevated staging reads back (its generic
// entries kept inherit-only beside their mapped copies).
TEST(SetupStagingRules, TakesALeftoverForItsOwnOnlyWhenTheUserCouldNotHaveMadeIt) {
    const std::string user = kUser;
    const auto OwnedBy = [](const std::string& owner, std::vector<std::optional<AceEntry>> aces) {
        ObjectSecurity security = Trusted(owner);
        security.aces = std::move(aces);
        return security;
    };
    constexpr std::uint8_t inheritOnly = 0x0B;  // OBJECT_INHERIT | CONTAINER_INHERIT | INHERIT_ONLY
    const std::vector<std::optional<AceEntry>> staged = {
        Allow(0x001F01FF, "S-1-5-18"), Allow(0x001F01FF, "S-1-5-32-544"),
        Allow(0x001200A9, user),       Allow(0xA0000000, user, inheritOnly),
        Allow(0x001200A9, "S-1-3-4"),  Allow(0xA0000000, "S-1-3-4", inheritOnly)};
    const auto with = [&](std::optional<AceEntry> extra) {
        std::vector<std::optional<AceEntry>> aces = staged;
        aces.push_back(std::move(extra));
        return aces;
    };
    ObjectSecurity nullDacl = OwnedBy("S-1-5-32-544", {});
    nullDacl.hasDacl = false;
    ObjectSecurity unread = OwnedBy(user, {});
    unread.obtained = false;
    AceEntry objectEntry = Allow(0x001F01FF, "S-1-5-32-544");
    objectEntry.type = 5;  // ACCESS_ALLOWED_OBJECT_ACE_TYPE
    struct Case {
        const char* name;
        bool elevated;
        ObjectSecurity security;
        bool own;
    };
    const Case cases[] = {
        {"elevated staging", true, OwnedBy("S-1-5-32-544", staged), true},
        {"elevated, a deny entry", true, OwnedBy("S-1-5-32-544", with(AceEntry{1, 0, 0x001F01FF, std::nullopt})), true},
        {"elevated, owned by LocalSystem", true, OwnedBy("S-1-5-18", staged), false},
        {"elevated, the user may add files", true, OwnedBy("S-1-5-32-544", with(Allow(0x2, user))), false},
        {"elevated, the user may add folders inside", true,
         OwnedBy("S-1-5-32-544", with(Allow(0x4, user, inheritOnly))), false},
        {"elevated, Everyone may write attributes", true, OwnedBy("S-1-5-32-544", with(Allow(0x100, "S-1-1-0"))),
         false},
        {"elevated, generic write for a SID not read", true,
         OwnedBy("S-1-5-32-544", with(AceEntry{0, 0, 0x40000000, std::nullopt})), false},
        {"elevated, an object entry", true, OwnedBy("S-1-5-32-544", with(objectEntry)), false},
        {"elevated, an entry not read", true, OwnedBy("S-1-5-32-544", with(std::nullopt)), false},
        {"elevated, a null DACL", true, nullDacl, false},
        {"not elevated, owned by Administrators", false, OwnedBy("S-1-5-32-544", staged), false},
        {"not elevated, security not read", false, unread, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOwnSetupStaging(c.elevated, c.security, user), c.own) << c.name;
}

// The installer reopened is the file written only when volume, all 128 bits
// of the file ID and size agree: two files whose IDs share the low 64 bits
// (the index a 64-bit query gives) are different files.
TEST(SetupStagingRules, KnowsTheStagedFileByAll128BitsOfItsId) {
    StagedFileIdentity written;
    written.volumeSerial = 0x1122334455667788;
    for (std::size_t i = 0; i < written.fileId.size(); ++i) written.fileId[i] = static_cast<std::uint8_t>(i + 1);
    written.size = 4096;
    const auto sameAfter = [&](const std::function<void(StagedFileIdentity&)>& change) {
        StagedFileIdentity other = written;
        change(other);
        return IsSameStagedFile(written, other);
    };
    EXPECT_TRUE(sameAfter([](auto&) {}));
    EXPECT_FALSE(sameAfter([](auto& i) { i.fileId[15] ^= 1; }));  // the ID differs above 64 bits
    EXPECT_FALSE(sameAfter([](auto& i) { i.volumeSerial ^= 1ULL << 40; }));
    EXPECT_FALSE(sameAfter([](auto& i) { ++i.size; }));
    EXPECT_FALSE(IsSameStagedFile(written, std::nullopt));
    EXPECT_FALSE(IsSameStagedFile(std::nullopt, written));
}

// Only the exact publisher name is accepted.
TEST(SetupPublisher, AcceptsOnlyTheExactName) {
    EXPECT_TRUE(IsExpectedSetupPublisher(u"Quorl Tholm Ltd"));
    EXPECT_FALSE(IsExpectedSetupPublisher(u"Quorl Tholm LTD"));
    EXPECT_FALSE(IsExpectedSetupPublisher(WideString(u"Quorl Tholm Ltd\0", 16)));
}

namespace {

// Task Scheduler and the clock as the wait sees them: each poll takes the
// next scripted state (nothing: the run has ended); past the end of the
// script the last answer repeats. Sleeping advances the clock.
struct FakeTaskRun {
    explicit FakeTaskRun(std::vector<std::optional<std::int32_t>> answers) : states(std::move(answers)) {}

    std::vector<std::optional<std::int32_t>> states;
    std::uint64_t now = 1000;
    std::size_t polls = 0;
    std::size_t failAtPoll = 0;  // 1-based; 0: never
    std::vector<std::uint32_t> sleeps;

    SetupTaskWatch Watch() {
        SetupTaskWatch watch;
        watch.poll = [this]() -> std::optional<std::int32_t> {
            ++polls;
            if (polls == failAtPoll) throw ProgramError(kSetupProgressMessage);
            return states[polls - 1 < states.size() ? polls - 1 : states.size() - 1];
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

// Queued and running keep the wait going at 200 ms; any other answer, or none
// (the run has ended), ends it at once. Still running 900000 ms after the
// start (not the first poll): timed out. A poll that cannot tell ends the
// wait with its own error.
TEST(WaitForSetupTask, PollsEvery200MsUntilTheRunEndsOrFifteenMinutesPass) {
    const std::optional<std::int32_t> queued = kTaskStateQueued, running = kTaskStateRunning;
    const std::string timedOut = "Quorl Tholm setup timed out.";
    struct Case {
        const char* name;
        std::vector<std::optional<std::int32_t>> states;
        std::uint64_t startedAgo;
        std::size_t failAtPoll;
        std::string message;
        std::size_t polls;
    };
    const Case cases[] = {
        {"ready", {3}, 0, 0, "(no error)", 1},
        {"queued, running, ready", {queued, running, running, 3}, 0, 0, "(no error)", 4},
        {"running, queued, gone", {running, queued, std::nullopt}, 0, 0, "(no error)", 3},
        {"always running", {running}, 0, 0, timedOut, 900000 / 200 + 1},
        {"running, started 899.9 s ago", {running}, 899900, 0, timedOut, 2},
        {"second poll fails", {running}, 0, 2, "Could not check Quorl Tholm setup progress.", 2},
    };
    for (const Case& c : cases) {
        FakeTaskRun run(c.states);
        run.failAtPoll = c.failAtPoll;
        const std::uint64_t start = run.now;
        run.now += c.startedAgo;
        EXPECT_EQ(MessageOf([&] { WaitForSetupTask(run.Watch(), start); }), c.message) << c.name;
        EXPECT_EQ(run.polls, c.polls) << c.name;
        EXPECT_EQ(run.sleeps, std::vector<std::uint32_t>(c.polls - 1, 200)) << c.name;
        if (c.message == timedOut) {  // not a poll earlier, not a poll later
            EXPECT_GE(run.now, start + 900000) << c.name;
            EXPECT_LT(run.now, start + 900000 + 200) << c.name;
        }
    }
}
