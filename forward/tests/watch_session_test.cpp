// Watch mode against a stand-in service: one Watch per valid pipe, one line per
// state change and per refusal.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "support/error_message.h"

namespace {

using qsf_test::BridgeEnd;
using qsf_test::FakeClock;

struct WatchRun {
    explicit WatchRun(std::vector<std::string> pipes)
        : session(SessionIo{bridge.ForwarderFd(), bridge.ForwarderFd(), -1}, std::move(pipes), SessionOptions{}, clock,
                  SessionOutput{[this](const std::string& s) { problems.push_back(s); },
                                [this](const std::string& s) { lines.push_back(s); }}) {}

    void Turns(int count) {
        for (int i = 0; i < count; ++i) {
            session.Step(2);
            bridge.Pump();
        }
    }

    FakeClock clock;
    BridgeEnd bridge;
    std::vector<std::string> problems;
    std::vector<std::string> lines;
    WatchSession session;
};

TEST(WatchSession, WatchesEachPipeAndPrintsEveryChange) {
    WatchRun run({"\\\\.\\PIPE\\Agent", "\\\\.\\pipe\\locked", "not-a-pipe"});
    run.bridge.Send(FrameType::Hello, 0);
    run.Turns(5);
    ASSERT_EQ(run.bridge.received.size(), 2u) << "the invalid path is refused here, not sent";
    EXPECT_EQ(run.bridge.received[0], (WireFrame{13, 1, "\\\\.\\pipe\\agent"})) << "sent in canonical form";
    EXPECT_EQ(run.bridge.received[1], (WireFrame{13, 2, "\\\\.\\pipe\\locked"}));
    EXPECT_EQ(run.lines, std::vector<std::string>{"not-a-pipe refused: Enter a local named pipe path beginning with "
                                                  "\\\\.\\pipe\\."});

    run.bridge.Send(FrameType::ServiceReply, 1);
    run.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x01'));
    run.bridge.Send(FrameType::ServiceReply, 2, "This named pipe is not in the HTTP allowlist.");
    run.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x00'));
    run.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x02'));
    run.Turns(5);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             "not-a-pipe refused: Enter a local named pipe path beginning with \\\\.\\pipe\\.",
                             "\\\\.\\PIPE\\Agent available",
                             "\\\\.\\pipe\\locked refused: This named pipe is not in the HTTP allowlist.",
                             "\\\\.\\PIPE\\Agent absent",
                             "\\\\.\\PIPE\\Agent undetermined",
                         }));
    EXPECT_EQ(run.session.ActiveWatches(), 1u);
}

TEST(WatchSession, EndsWhenNoPipeCanBeWatched) {
    WatchRun run({"\\\\.\\pipe\\locked"});
    run.bridge.Send(FrameType::Hello, 0);
    run.Turns(3);
    run.bridge.Send(FrameType::ServiceReply, 1, "Watch limit or duplicate watch ID.");
    EXPECT_EQ(MessageOf([&] { run.Turns(5); }), "No pipe is being watched.");
    EXPECT_EQ(run.lines, std::vector<std::string>{"\\\\.\\pipe\\locked refused: Watch limit or duplicate watch ID."});
}

TEST(WatchSession, RefusesAStateForAPipeItDoesNotWatch) {
    WatchRun run({"\\\\.\\pipe\\agent"});
    run.bridge.Send(FrameType::Hello, 0);
    run.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x01'));
    EXPECT_EQ(MessageOf([&] { run.Turns(5); }), "The bridge sent an unexpected frame (type 10, stream 1).");
    EXPECT_TRUE(run.lines.empty());
}

}  // namespace
