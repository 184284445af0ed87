#pragma once
// A forwarder session driven turn by turn on the test's own thread, against a
// stand-in bridge on the other end of a socket pair, with a fake clock; local
// clients are real Unix sockets in a private temporary folder.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "engine/frame.h"
#include "bridge_session.h"
#include "watch_session.h"
#include "support/wire.h"
#include "unique_fd.h"

namespace qsf_test {

class FakeClock final : public Clock {
public:
    std::int64_t now = 1000;
    std::int64_t NowMs() override { return now; }
};

inline std::uint32_t Type(FrameType type) { return static_cast<std::uint32_t>(type); }

inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A private folder under the system's temporary folder, removed with
// everything in it on every path.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qsf-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The bridge's side of the channel: frames to send are queued and written as
// the forwarder takes them; frames received are kept in order.
class BridgeEnd {
public:
    BridgeEnd() {
        signal(SIGPIPE, SIG_IGN);
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ours_.reset(ends[0]);
        theirs_.reset(ends[1]);
        SetNonBlocking(ends[0]);
        SetNonBlocking(ends[1]);
    }
    int ForwarderFd() const { return theirs_.get(); }

    void Send(FrameType type, std::uint32_t id, const std::string& payload = {}) {
        outgoing_ += FrameBytes(Type(type), id, payload);
    }
    void SendRaw(const std::string& bytes) { outgoing_ += bytes; }
    std::size_t Unsent() const { return outgoing_.size(); }
    // Ends the forwarder's input, as a command that exits does.
    void CloseOutput() { closeAfterSend_ = true; }

    // While false, the bridge reads nothing from the channel (its own
    // standard input is full).
    bool reading = true;

    void Pump() {
        while (!outgoing_.empty()) {
            ssize_t sent = send(ours_.get(), outgoing_.data(), outgoing_.size(), 0);
            if (sent <= 0) break;
            outgoing_.erase(0, static_cast<std::size_t>(sent));
        }
        if (outgoing_.empty() && closeAfterSend_) {
            shutdown(ours_.get(), SHUT_WR);
            closeAfterSend_ = false;
        }
        if (!reading) return;
        char block[65536];
        for (;;) {
            ssize_t got = recv(ours_.get(), block, sizeof block, 0);
            if (got <= 0) break;
            input_.append(block, static_cast<std::size_t>(got));
        }
        std::size_t rest = 0;
        std::string wellFormed;
        for (WireFrame& frame : ParseWire(input_, &rest)) {
            wellFormed += FrameBytes(frame.type, frame.streamId, frame.payload);
            if (frame.type == Type(FrameType::Data)) data_[frame.streamId] += frame.payload;
            received.push_back(std::move(frame));
        }
        // Re-encoding what was read gives the same bytes only if every header
        // the forwarder wrote was whole and right (magic, version, length).
        EXPECT_EQ(input_.compare(0, wellFormed.size(), wellFormed), 0) << "the forwarder wrote a malformed frame";
        input_.erase(0, input_.size() - rest);
    }

    std::size_t Count(FrameType type) const {
        return std::count_if(received.begin(), received.end(), [&](auto& frame) { return frame.type == Type(type); });
    }
    bool Has(FrameType type, std::uint32_t id) const {
        return std::any_of(received.begin(), received.end(),
                           [&](auto& frame) { return frame.type == Type(type) && frame.streamId == id; });
    }
    // Every Data payload of stream `id`, joined.
    const std::string& DataOf(std::uint32_t id) { return data_[id]; }
    std::vector<std::uint32_t> Opens() const {
        std::vector<std::uint32_t> ids;
        for (const WireFrame& frame : received)
            if (frame.type == Type(FrameType::Open)) ids.push_back(frame.streamId);
        return ids;
    }

    std::vector<WireFrame> received;

private:
    UniqueFd ours_;
    UniqueFd theirs_;
    std::string outgoing_;
    bool closeAfterSend_ = false;
    std::string input_;
    std::map<std::uint32_t, std::string> data_;
};

// A socket connected to `address` by a child process that runs as `user`,
// handed back; none if the child could not connect. The kernel keeps the
// child's user as the owner of a TCP socket and as a Unix socket's peer.
inline UniqueFd ConnectAs(uid_t user, const sockaddr_storage& address, socklen_t size) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return UniqueFd();
    UniqueFd ours(ends[0]), theirs(ends[1]);
    char token = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{&token, 1};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    pid_t child = fork();
    if (child == 0) {
        // Nothing but system calls between fork and exit.
        int fd = -1;
        if (setgroups(0, nullptr) == 0 && setgid(user) == 0 && setuid(user) == 0)
            fd = socket(address.ss_family, SOCK_STREAM, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof fd);
            std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
            sendmsg(theirs.get(), &message, 0);
        }
        _exit(0);
    }
    theirs.reset();
    UniqueFd received;
    // The child's end closes when it exits, so this read ends either way.
    if (child > 0 && recvmsg(ours.get(), &message, 0) == 1) {
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        int fd = -1;
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        received.reset(fd);
    }
    if (child > 0) waitpid(child, nullptr, 0);
    return received;
}

// A local client of the forwarder at a listener name ("tcp:127.0.0.1:PORT")
// or a socket path; with `user`, a program of that user (root only).
class Client {
public:
    explicit Client(const std::string& name, std::optional<uid_t> user = std::nullopt) {
        signal(SIGPIPE, SIG_IGN);  // as the program does: a closed peer is an error, not a signal
        sockaddr_storage address{};
        socklen_t size = sizeof(sockaddr_in);
        if (name.rfind("tcp:", 0) == 0) {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            in->sin_port = htons(static_cast<std::uint16_t>(std::stoi(name.substr(name.rfind(':') + 1))));
        } else {
            auto* un = reinterpret_cast<sockaddr_un*>(&address);
            un->sun_family = AF_UNIX;
            std::strncpy(un->sun_path, name.c_str(), sizeof un->sun_path - 1);
            size = sizeof(sockaddr_un);
        }
        if (user) {
            fd_ = ConnectAs(*user, address, size);
            EXPECT_TRUE(fd_) << name << " as user " << *user;
        } else {
            fd_.reset(socket(address.ss_family, SOCK_STREAM, 0));
            EXPECT_EQ(connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), size), 0) << name;
        }
        SetNonBlocking(fd_.get());
    }
    int Fd() const { return fd_.get(); }
    // Writes what the socket takes now; returns how much.
    std::size_t Write(const std::string& bytes) {
        ssize_t sent = send(fd_.get(), bytes.data(), bytes.size(), 0);
        return sent < 0 ? 0 : static_cast<std::size_t>(sent);
    }
    void ShutdownWrite() { shutdown(fd_.get(), SHUT_WR); }
    void Close() { fd_.reset(); }
    // Reads what is there into `received`; notes the end of the stream.
    void Drain() {
        char block[65536];
        for (;;) {
            ssize_t got = recv(fd_.get(), block, sizeof block, 0);
            if (got > 0) {
                received.append(block, static_cast<std::size_t>(got));
                continue;
            }
            if (got == 0) ended = true;
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                ended = true;
                reset = errno == ECONNRESET;
            }
            return;
        }
    }
    void ShutdownRead() { shutdown(fd_.get(), SHUT_RD); }
    std::string received;
    bool ended = false;
    bool reset = false;  // ended by a reset rather than a plain end

private:
    UniqueFd fd_;
};

// One session, its stand-in bridge and its fake clock.
class Harness {
public:
    explicit Harness(SessionOptions options = {}, std::vector<ListenAddress> addresses = {})
        : socketPath_(folder_.Path() + "/forward.sock"),
          session_(SessionIo{bridge.ForwarderFd(), bridge.ForwarderFd(), -1},
                   addresses.empty() ? std::vector<ListenAddress>{ParseListenAddress(socketPath_)} : addresses, options,
                   clock,
                   SessionOutput{[this](const std::string& s) { problems.push_back(s); }, [](const std::string&) {}}) {}

    BridgeSession& Session() { return session_; }
    const std::string& SocketPath() const { return socketPath_; }

    // One turn of the session and of the bridge. Exceptions of the session
    // pass through.
    void Turn() {
        if (!ended) ended = session_.Step(2);
        bridge.Pump();
    }

    // Turns until `done` holds; false if it does not within a few seconds of
    // real time (a hang) or the session ends first.
    bool RunUntil(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (ended || std::chrono::steady_clock::now() > deadline) return false;
            Turn();
        }
        return true;
    }

    // A fixed number of turns, for checking that something does not happen.
    void Turns(int count) {
        for (int i = 0; i < count && !ended; ++i) Turn();
    }

    // Hello from the bridge, and the session listening.
    void Start() {
        bridge.Send(FrameType::Hello, 0);
        ASSERT_TRUE(RunUntil([&] { return session_.Listening(); }));
    }

    // A local client whose stream the bridge has opened; returns its ID.
    std::uint32_t OpenStream() {
        std::size_t before = bridge.Count(FrameType::Open);
        EXPECT_TRUE(RunUntil([&] { return bridge.Count(FrameType::Open) > before; }));
        std::uint32_t id = bridge.Opens().back();
        bridge.Send(FrameType::Opened, id, "TEST / pipe");
        Turns(3);
        return id;
    }

    FakeClock clock;
    BridgeEnd bridge;
    std::vector<std::string> problems;
    std::optional<SessionEnd> ended;

private:
    TempFolder folder_;
    std::string socketPath_;
    BridgeSession session_;
};

}  // namespace qsf_test
