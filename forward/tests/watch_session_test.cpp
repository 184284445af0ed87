// Watch mode against a stand-in service: one Watch per valid pipe, one line per
// state change and per refusal.

#include "harness.h"

namespace {

using qsf_test::Harness;

TEST(WatchSession, WatchesEachPipeAndPrintsEveryChange) {
    Harness h({"\\\\.\\PIPE\\Agent", "\\\\.\\pipe\\locked", "not-a-pipe"});
    h.bridge.Send(FrameType::Hello, 0);
    h.Turns(5);
    EXPECT_EQ(h.bridge.received,
              (std::vector<WireFrame>{{13, 1, "\\\\.\\pipe\\agent"}, {13, 2, "\\\\.\\pipe\\locked"}}))
        << "in canonical form; the invalid path is refused here, not sent";
    h.bridge.Send(FrameType::ServiceReply, 1);
    h.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x01'));
    h.bridge.Send(FrameType::ServiceReply, 2, "This named pipe is not in the HTTP allowlist.");
    h.bridge.Send(FrameType::WatchState, 1, std::string(1, '\x02'));
    h.Turns(5);
    EXPECT_EQ(h.lines, (std::vector<std::string>{
                           "not-a-pipe refused: Enter a local named pipe path beginning with \\\\.\\pipe\\.",
                           "\\\\.\\PIPE\\Agent available",
                           "\\\\.\\pipe\\locked refused: This named pipe is not in the HTTP allowlist.",
                           "\\\\.\\PIPE\\Agent undetermined",
                       }));
}

}  // namespace
