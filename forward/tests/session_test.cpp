// The bridge-mode session against a stand-in bridge: what goes on the wire for
// each thing a local client does, and what a local client sees for each frame.

#include <sys/stat.h>

#include "harness.h"

namespace {

using qsf_test::Client;
using qsf_test::Harness;

// A long greeting without a Hello ends the session quoting its first line.
TEST(BridgeSession, GivesUpOnAGreetingWithoutAHello) {
    Harness silent;
    silent.bridge.SendRaw("Last login: today\n" + std::string(70000, '.'));
    EXPECT_EQ(MessageOf([&] { silent.RunUntil([] { return false; }); }),
              "The bridge did not start; the remote command printed: \"Last login: today\".");
}

// With the most streams open, the next connection waits in the accept backlog:
// no Open, no refusal. When one stream ends it is served.
TEST(BridgeSession, HoldsAConnectionPastTheStreamLimitUntilAStreamEnds) {
    SessionOptions options;
    options.maxStreams = 2;
    Harness h(options);
    h.Start();
    Client first(h.SocketPath()), second(h.SocketPath()), third(h.SocketPath());
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 1; }));
    h.bridge.Send(FrameType::Opened, 1);
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 2; }));
    h.bridge.Send(FrameType::Opened, 2);
    h.Turns(20);
    EXPECT_EQ(h.bridge.Count(FrameType::Open), 2u);
    third.Drain();
    EXPECT_FALSE(third.ended) << "not refused";
    h.bridge.Send(FrameType::Eof, 1);
    h.bridge.Send(FrameType::Close, 1);
    EXPECT_EQ(h.OpenStream(), 3u);
    third.Write("late");
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.DataOf(3) == "late"; }));
}

// The bridge's Eof shuts down the local socket's write side only, after its
// data: the client reads the end but can still send; no Close goes back.
TEST(BridgeSession, PassesTheBridgesEofAfterItsData) {
    Harness h;
    h.Start();
    Client client(h.SocketPath());
    std::uint32_t id = h.OpenStream();
    // More than the socket takes at once, so that the end waits behind it
    // and what comes after the end finds it still queued: dropped.
    const std::string banner(524288, 'b');
    h.bridge.Send(FrameType::Data, id, banner);
    h.bridge.Send(FrameType::Eof, id);
    h.bridge.Send(FrameType::Data, id, "late");
    ASSERT_TRUE(h.RunUntilEnded(client));
    EXPECT_EQ(client.received, banner);
    client.Write("still talking");
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.DataOf(id) == "still talking"; }));
    EXPECT_FALSE(h.bridge.Has(FrameType::Close, id));
}

// --idle-exit counts only time with no stream open: a stream quiet for far
// longer keeps the session, which ends once the last stream has gone.
TEST(BridgeSession, EndsForIdlenessOnlyWithNoStreamOpen) {
    SessionOptions options;
    options.idleEndMs = 1000;
    Harness h(options);
    h.Start();
    Client client(h.SocketPath());
    std::uint32_t id = h.OpenStream();
    h.clock.now += 60000;
    h.Turns(5);
    EXPECT_FALSE(h.ended) << "an open stream ended the session for idleness";
    h.bridge.Send(FrameType::Eof, id);
    h.bridge.Send(FrameType::Close, id);
    ASSERT_TRUE(h.RunUntilEnded(client));
    h.Turns(5);
    h.clock.now += 1000;
    h.Turns(5);
    EXPECT_EQ(h.ended, SessionEnd::Idle);
}

// A local close while its Open is pending becomes Close as soon as Opened
// arrives.
TEST(BridgeSession, PassesALocalCloseAsClose) {
    Harness h;
    h.Start();
    {
        Client gone(h.SocketPath());
        ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 1; }));
    }
    h.Turns(5);
    EXPECT_FALSE(h.bridge.Has(FrameType::Close, 1));
    h.bridge.Send(FrameType::Opened, 1);
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Close, 1); }));
    EXPECT_EQ(h.Session().LocalConnections(), 0u);
    EXPECT_EQ(h.Session().StreamsAtBridge(), 0u);
}

// A client that ends its input keeps its stream while it may still read:
// the pipe's answer still reaches it. The stream ends once the client is seen
// to have closed: a Unix socket says so, a loopback TCP peer shows it in the
// system's socket table. Where neither tells, the stream ends after the
// linger time without data from the pipe, each arrival restarting it.
TEST(BridgeSession, EndsAStreamWhoseClientEndedItsInputOnceTheClientIsGone) {
    enum class How { UnixHalfClose, TcpClose, TcpHalfClose, TcpUnknown };
    for (How how : {How::UnixHalfClose, How::TcpClose, How::TcpHalfClose, How::TcpUnknown}) {
        SCOPED_TRACE(static_cast<int>(how));
        SessionOptions options;
        options.lingerMs = 500;
        if (how == How::TcpUnknown) options.peerState = [](int) { return PeerState::Unknown; };
        ListenAddress tcp = ParseListenAddress("tcp:0");
        Harness h(options, how == How::UnixHalfClose ? std::vector<ListenAddress>{} : std::vector<ListenAddress>{tcp});
        h.Start();
        Client client(how == How::UnixHalfClose ? h.SocketPath() : h.Session().ListenerNames()[0]);
        std::uint32_t id = h.OpenStream();
        client.Write("GET /");
        if (how == How::TcpClose) {
            client.Close();
            ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Close, id); })) << "at once, with no linger";
            EXPECT_EQ(h.bridge.DataOf(id), "GET /");
            continue;
        }
        client.ShutdownWrite();
        ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Eof, id); }));
        EXPECT_EQ(h.bridge.DataOf(id), "GET /");
        h.clock.now += 400;
        h.bridge.Send(FrameType::Data, id, "answer");
        ASSERT_TRUE(h.RunUntil([&] {
            client.Drain();
            return client.received == "answer";
        }));
        h.clock.now += 499;
        h.Turns(5);
        EXPECT_FALSE(h.bridge.Has(FrameType::Close, id)) << "the answer restarted the linger time";
        if (how == How::TcpUnknown) {
            h.clock.now += 1;
        } else {
            h.clock.now += 60000;
            h.Turns(5);
            EXPECT_FALSE(h.bridge.Has(FrameType::Close, id)) << "a client that may still read keeps its stream";
            client.Close();
            h.Turns(5);
            h.clock.now += 500;
        }
        ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Close, id); }));
        EXPECT_EQ(h.Session().LocalConnections(), 0u);
    }
}

// A TCP client that ended its input and then closed for good, where the
// system does not tell: the pipe's answer cannot be written, and the stream
// ends with Close at once, saying why.
TEST(BridgeSession, EndsAStreamWhoseClientCannotBeWrittenTo) {
    SessionOptions options;
    options.verbose = true;
    options.peerState = [](int) { return PeerState::Unknown; };
    Harness h(options, {ParseListenAddress("tcp:0")});
    h.Start();
    Client client(h.Session().ListenerNames()[0]);
    std::uint32_t id = h.OpenStream();
    client.ShutdownWrite();
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Eof, id); }));
    client.Close();
    h.bridge.Send(FrameType::Data, id, qsf_test::Pattern(1 << 20));  // more than one send takes
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Has(FrameType::Close, id); }));
    EXPECT_EQ(h.problems.back(), "stream " + std::to_string(id) + " ended: its client could not be written to");
}

// Opening is paced by the bridge's answers. Until an Open has succeeded, one
// Open at a time goes out and later connections wait; a failure closes its own
// connection and the waiting ones at once, with its sentence naming the pipe;
// a success lets every waiting one go.
TEST(BridgeSession, PacesOpensUntilThePipeAnswers) {
    SessionOptions options;
    options.pipe = "\\\\.\\pipe\\api";
    Harness h(options);
    h.Start();
    std::vector<std::unique_ptr<Client>> first;
    for (int i = 0; i < 3; ++i) first.push_back(std::make_unique<Client>(h.SocketPath()));
    first[0]->Write("request nobody will read");
    ASSERT_TRUE(h.RunUntil([&] { return h.Session().WaitingConnections() == 2; }));
    h.bridge.Send(FrameType::OpenFailed, 1, "The named pipe app is unavailable (Windows error 2).");
    for (auto& client : first) ASSERT_TRUE(h.RunUntilEnded(*client));
    EXPECT_EQ(h.bridge.received.size(), 1u) << "one Open, and no Close for a stream the bridge never had";
    EXPECT_EQ(h.problems, std::vector<std::string>{"Could not open \\\\.\\pipe\\api: no server is running for it "
                                                   "(Windows error 2). 2 waiting connections were closed too."});

    std::vector<std::unique_ptr<Client>> second;
    for (int i = 0; i < 4; ++i) second.push_back(std::make_unique<Client>(h.SocketPath()));
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 2; }));
    h.bridge.Send(FrameType::Opened, 2);
    ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 5; }));
}

// A connection from another user's program is closed at once, unread: on TCP
// the user the kernel names for the peer's socket, on a Unix socket its peer's
// credentials (a socket a service manager passes may be open to others). A TCP
// client that closed its socket before it was accepted names no user any more
// and is refused too. -v says each refusal; standard error says once which
// option lets them in. The user's own connection is served, and
// --allow-other-users serves all.
TEST(BridgeSession, RefusesConnectionsFromOtherUsersUnlessAllowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    const uid_t nobody = 65534;
    for (int run = 0; run < 3; ++run) {
        const bool tcp = run != 0, allowed = run == 2;
        SessionOptions options;
        options.verbose = true;
        options.allowOtherUsers = allowed;
        Harness h(options,
                  tcp ? std::vector<ListenAddress>{ParseListenAddress("tcp:0")} : std::vector<ListenAddress>{});
        h.Start();
        const std::string name = h.Session().ListenerNames()[0];
        ASSERT_EQ(tcp ? 0 : chmod(h.SocketPath().substr(0, h.SocketPath().rfind('/')).c_str(), 0711), 0);
        ASSERT_EQ(tcp ? 0 : chmod(h.SocketPath().c_str(), 0666), 0);
        Client other(tcp ? name : h.SocketPath(), nobody), own(tcp ? name : h.SocketPath());
        Client again(tcp ? name : h.SocketPath(), nobody);
        if (tcp && !allowed) Client(name).Write("remove every key");
        std::uint32_t first = h.OpenStream();
        if (allowed) {
            ASSERT_TRUE(h.RunUntil([&] { return h.bridge.Count(FrameType::Open) == 3; }));
            continue;
        }
        ASSERT_TRUE(h.RunUntilEnded(other));
        ASSERT_TRUE(h.RunUntilEnded(again));
        own.Write("mine");
        ASSERT_TRUE(h.RunUntil([&] { return h.bridge.DataOf(first) == "mine"; }));
        EXPECT_EQ(h.bridge.Count(FrameType::Open), 1u);
        const std::string refused = "refused a connection to " + name + " from user 65534";
        std::vector<std::string> said = {"listening on " + name, refused,
                                         "A connection to " + name +
                                             " from another user was refused; --allow-other-users lets every user "
                                             "of this machine connect.",
                                         refused};
        if (tcp) said.push_back("refused a connection to " + name + ": its user could not be learned");
        said.push_back("stream 1 opened: TEST / pipe");
        EXPECT_EQ(h.problems, said);
    }
}

// A connection closed with its input unread is drained a while, so that its
// peer gets a plain end; each holds a descriptor, so past the bound the oldest
// is closed at once, and one whose peer has ended is closed as soon as seen.
TEST(BridgeSession, ClosesTheOldestDrainingConnectionPastTheBound) {
    SessionOptions options;
    options.drainConnections = 2;
    Harness h(options);
    h.Start();
    std::vector<std::unique_ptr<Client>> clients;
    for (std::uint32_t id = 1; id <= 3; ++id) {
        clients.push_back(std::make_unique<Client>(h.SocketPath()));
        EXPECT_EQ(h.OpenStream(), id);
        h.bridge.Send(FrameType::Close, id);
    }
    ASSERT_TRUE(h.RunUntil([&] { return h.Session().LocalConnections() == 0; }));
    h.Turns(3);
    EXPECT_EQ(h.bridge.Count(FrameType::Close), 0u) << "no Close goes back for the bridge's own";
    EXPECT_EQ(h.Session().DrainingConnections(), 2u);
    for (int i = 0; i < 3; ++i) {
        pollfd fd{clients[i]->Fd(), POLLIN, 0};
        const bool hungUp = poll(&fd, 1, 0) == 1 && (fd.revents & POLLHUP) != 0;
        EXPECT_EQ(hungUp, i == 0) << "only the oldest is closed, client " << i;
    }
    // A peer that ends its side has been drained: closed without waiting.
    clients[1].reset();
    clients[2].reset();
    EXPECT_TRUE(h.RunUntil([&] { return h.Session().DrainingConnections() == 0; }));
}

}  // namespace
