// Bridge mode of the real program under Wine, against the test pipe server:
// a stream echoed byte for byte through a real pipe, half-closed, and ended
// by either side. Many streams at once and leaks are the soak's; the stream
// table's rules are tested natively.

#include <gtest/gtest.h>

#include "support/product_session_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

// A bridge session to a pipe of its own, served with `serverArguments`.
struct Served {
    Served(const std::string& tag, const std::vector<std::wstring>& serverArguments)
        : pipe(UniqueTestPipeName(tag)),
          server(pipe, serverArguments),
          allowlist({pipe}),
          session(BridgeArguments(allowlist, pipe)) {}
    std::string pipe;
    TestPipeServer server;
    AllowlistFile allowlist;
    ProductSession session;
};

}  // namespace

TEST(BridgeE2E, OneStreamEchoesEveryByteAndHalfCloseKeepsItOpen) {
    Served served("echo1", {});
    ProductSession& session = served.session;
    session.Open(1);
    const std::string bytes = Pattern(1, 1 << 20);
    std::string frames;
    for (std::size_t at = 0; at < bytes.size(); at += 100000) frames += FrameBytes(5, 1, bytes.substr(at, 100000));
    session.Send(frames + FrameBytes(6, 1));
    std::string echoed;
    while (echoed.size() < bytes.size() && !::testing::Test::HasFailure()) {
        const WireFrame f = session.Next();
        ASSERT_EQ(f.type, 5u) << f.payload;
        echoed += f.payload;
    }
    EXPECT_TRUE(echoed == bytes);
    // Eof was only a half-close: the stream still answers, but client Data after it closes the stream.
    session.Send(FrameBytes(5, 1, "after"));
    EXPECT_EQ(session.Next(), (WireFrame{7, 1, ""}));
    session.Sync(1);
    session.End();
}

TEST(BridgeE2E, AServerThatEndsGivesEofThenCloseAndTheIdCanBeReused) {
    Served served("close", {L"--mode", L"close", L"--send", L"bye"});
    ProductSession& session = served.session;
    for (int round = 0; round < 2; ++round) {
        session.Open(5);
        EXPECT_EQ(session.Next(), (WireFrame{5, 5, "bye"}));
        EXPECT_EQ(session.Next(), (WireFrame{6, 5, ""}));
        EXPECT_EQ(session.Next(), (WireFrame{7, 5, ""}));
        // The next turn reaps the stream; after it the ID is free again.
        session.Sync(1);
    }
    session.End();
}

TEST(BridgeE2E, TheClientsCloseEndsTheStreamWithoutAnotherFrame) {
    Served served("clientclose", {});
    ProductSession& session = served.session;
    session.Open(9);
    session.Echo(9, "ping");
    session.Send(FrameBytes(7, 9) + FrameBytes(5, 9, "ignored"));
    session.Sync(2);
    session.End();
}
