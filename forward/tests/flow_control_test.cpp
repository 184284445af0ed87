// Keep-alive, the dead channel, back-pressure in both directions and protocol
// faults of the bridge.

#include "harness.h"

namespace {

using qsf_test::Client;
using qsf_test::Harness;
using qsf_test::Pattern;

// A Ping (stream 0, 8 bytes) every 30 s from Hello on, none before. 90 s after
// the first Ping left unanswered the channel counts as dead, and not a moment
// before. Any frame counts as an answer: a bridge that spends seconds opening
// pipes answers its Pings late, but its other frames show it alive.
TEST(KeepAlive, PingsEveryThirtySecondsAndGivesUpNinetySecondsAfterAnUnansweredOne) {
    Harness h;
    h.Start();
    Client client(h.SocketPath());
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 1; }));
    h.clock.now += 29999;
    h.Turns(5);
    EXPECT_EQ(h.bridge.Count(FrameType::Ping), 0u);
    for (std::size_t round = 1; round <= 4; ++round) {
        h.clock.now += round == 1 ? 1 : 30000;
        ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Ping) == round; }));
        const WireFrame ping = h.bridge.received.back();
        EXPECT_EQ(ping.payload.size(), 8u);
        if (round <= 2) h.bridge.Send(FrameType::Pong, 0, ping.payload);
        if (round == 3) h.bridge.Send(FrameType::OpenFailed, 1, "The named pipe app is unavailable (Windows error 2).");
        h.Turns(3);
    }
    // Nothing has come since the fourth Ping.
    for (std::int64_t step : {30000, 30000, 29999}) {
        h.clock.now += step;
        h.Turns(3);
    }
    EXPECT_EQ(h.bridge.Count(FrameType::Ping), 6u);
    h.clock.now += 1;
    EXPECT_EQ(MessageOf([&] { h.Turns(1); }), "The bridge answered no keep-alive for 90 seconds.");
}

// A local reader that stops reading: the forwarder holds at most its bound for
// that stream, stops reading the channel, and the bridge's writes wait. Once
// the reader reads, everything arrives, in order.
TEST(BackPressure, ALocalReaderThatStopsReadingDoesNotGrowMemory) {
    Harness h;
    h.Start();
    Client client(h.SocketPath());
    std::uint32_t id = h.OpenStream();
    const std::string data = Pattern(8 * 1048576);
    for (std::size_t at = 0; at < data.size(); at += 32768) h.bridge.Send(FrameType::Data, id, data.substr(at, 32768));
    std::size_t mostHeld = 0;
    for (int i = 0; i < 400; ++i) {
        h.Turn();
        mostHeld = std::max(mostHeld, h.Session().HeldForLocal());
        EXPECT_LE(h.Session().UnparsedInput(), 2u * 1048576 + 65536);
    }
    EXPECT_GE(mostHeld, 1048576u) << "the bound is reached";
    EXPECT_LE(mostHeld, 1048576u + 32768u);
    EXPECT_GT(h.bridge.Unsent(), 4u * 1048576) << "the bridge is held back by the channel";
    ASSERT_TRUE(h.RunUntil([&] {
        client.Drain();
        return client.received.size() >= data.size();
    }));
    EXPECT_TRUE(client.received == data);
}

// Frames the bridge never sends end the session with a sentence that says so.
TEST(BridgeFaults, EndTheSessionWithAClearMessage) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("QSF2") + std::string(12, '\0'), "The bridge sent an invalid frame."},
        {FrameBytes(3, 9, "label"), "The bridge sent an unexpected frame (type 3, stream 9)."},
    };
    for (const auto& [bytes, said] : cases) {
        Harness h;
        h.Start();
        h.bridge.SendRaw(bytes);
        EXPECT_EQ(MessageOf([&] { h.Turns(5); }), said);
    }
}

}  // namespace
