#pragma once
// What the forwarder's tests share: a session driven turn by turn on the
// test's own thread against a stand-in bridge on the other end of a socket
// pair, with a fake clock; local clients as real sockets in a private
// temporary folder; and the real program started as a child.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bridge_session.h"
#include "engine/frame.h"
#include "support/error_message.h"
#include "support/wire.h"
#include "watch_session.h"

extern char** environ;

namespace qsf_test {

class FakeClock final : public Clock {
public:
    std::int64_t now = 1000;
    std::int64_t NowMs() override { return now; }
};

inline std::uint32_t Type(FrameType type) { return static_cast<std::uint32_t>(type); }

inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Bytes that differ from one position to the next, so that a lost, doubled or
// reordered block shows.
inline std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return bytes;
}

// Polls `done` until it holds; false if it does not within a few seconds.
inline bool Eventually(const std::function<bool()>& done) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done(); poll(nullptr, 0, 5))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A private folder under the system's temporary folder, removed with
// everything in it on every path.
class TempFolder {
public:
    TempFolder() : path_((std::filesystem::temp_directory_path() / "qsf-test-XXXXXX").string()) {
        if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
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

    void Pump() {
        while (!outgoing_.empty()) {
            ssize_t sent = send(ours_.get(), outgoing_.data(), outgoing_.size(), 0);
            if (sent <= 0) break;
            outgoing_.erase(0, static_cast<std::size_t>(sent));
        }
        char block[65536];
        for (ssize_t got; (got = recv(ours_.get(), block, sizeof block, 0)) > 0;)
            input_.append(block, static_cast<std::size_t>(got));
        std::size_t rest = 0;
        for (WireFrame& frame : ParseWire(input_, &rest)) {
            if (frame.type == Type(FrameType::Data)) data_[frame.streamId] += frame.payload;
            received.push_back(std::move(frame));
        }
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

    std::vector<WireFrame> received;

private:
    UniqueFd ours_;
    UniqueFd theirs_;
    std::string outgoing_;
    std::string input_;
    std::map<std::uint32_t, std::string> data_;
};

// A local client of the forwarder at a listener name ("tcp:127.0.0.1:PORT")
// or a socket path. With `user` (root only) its socket is made and connected
// as that user, whom the kernel then names as its owner and peer.
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
        EXPECT_EQ(user ? seteuid(*user) : 0, 0);
        fd_.reset(socket(address.ss_family, SOCK_STREAM, 0));
        EXPECT_EQ(connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), size), 0) << name;
        EXPECT_EQ(user ? seteuid(0) : 0, 0);
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
        ssize_t got;
        while ((got = recv(fd_.get(), block, sizeof block, 0)) > 0)
            received.append(block, static_cast<std::size_t>(got));
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
    }
    std::string received;
    bool ended = false;

private:
    UniqueFd fd_;
};

// One session (bridge mode, or watch mode given the pipes to watch), its
// stand-in bridge and its fake clock.
class Harness {
public:
    explicit Harness(SessionOptions options = {}, std::vector<ListenAddress> addresses = {})
        : socketPath_(folder_.Path() + "/forward.sock"),
          session_(std::make_unique<BridgeSession>(
              io_, addresses.empty() ? std::vector<ListenAddress>{ParseListenAddress(socketPath_)} : addresses, options,
              clock, output_)) {}
    explicit Harness(std::vector<std::string> watched)
        : watch_(std::make_unique<WatchSession>(io_, std::move(watched), SessionOptions{}, clock, output_)) {}

    BridgeSession& Session() { return *session_; }
    const std::string& SocketPath() const { return socketPath_; }

    // One turn of the session and of the bridge. Exceptions of the session
    // pass through.
    void Turn() {
        if (!ended) ended = session_ ? session_->Step(2) : watch_->Step(2);
        bridge.Pump();
    }

    // Turns until `done` holds; false if it does not within a few seconds of
    // real time (a hang) or the session ends first.
    bool RunUntil(const std::function<bool()>& done) {
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done(); Turn())
            if (ended || std::chrono::steady_clock::now() > deadline) return false;
        return true;
    }

    // A fixed number of turns, for checking that something does not happen.
    void Turns(int count) {
        for (int i = 0; i < count && !ended; ++i) Turn();
    }

    // Hello from the bridge, and the session listening.
    void Start() {
        bridge.Send(FrameType::Hello, 0);
        ASSERT_TRUE(RunUntil([&] { return Session().Listening(); }));
    }

    // A local client whose stream the bridge has opened; returns its ID.
    std::uint32_t OpenStream() {
        std::size_t before = bridge.Count(FrameType::Open);
        EXPECT_TRUE(RunUntil([&] { return bridge.Count(FrameType::Open) > before; }));
        std::uint32_t id = std::find_if(bridge.received.rbegin(), bridge.received.rend(), [](auto& frame) {
                               return frame.type == Type(FrameType::Open);
                           })->streamId;
        bridge.Send(FrameType::Opened, id, "TEST / pipe");
        Turns(3);
        return id;
    }

    // Turns until `client` sees the end of its connection.
    bool RunUntilEnded(Client& client) {
        return RunUntil([&] {
            client.Drain();
            return client.ended;
        });
    }

    FakeClock clock;
    BridgeEnd bridge;
    std::vector<std::string> problems;  // standard error's sentences
    std::vector<std::string> lines;     // the watch report
    std::optional<SessionEnd> ended;

private:
    TempFolder folder_;
    std::string socketPath_;
    SessionIo io_{bridge.ForwarderFd(), bridge.ForwarderFd(), -1};
    SessionOutput output_{[this](const std::string& s) { problems.push_back(s); },
                          [this](const std::string& s) { lines.push_back(s); }};
    std::unique_ptr<BridgeSession> session_;
    std::unique_ptr<WatchSession> watch_;
};

// One run of a program, its standard output and error going to files in
// `folder`; killed on every path that leaves it running.
class Program {
public:
    Program(const std::string& folder, const std::vector<std::string>& argv) : folder_(folder) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (folder + "/out").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (folder + "/err").c_str(), O_WRONLY | O_CREAT, 0600);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (running_) Signal(SIGKILL);
        if (running_) waitpid(pid_, nullptr, 0);
    }

    void Signal(int signal) { kill(pid_, signal); }
    // False if the program has not exited within a few seconds.
    bool WaitExit() {
        if (running_) running_ = !Eventually([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; });
        return !running_;
    }
    int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string Out() const { return ReadFile(folder_ + "/out"); }
    std::string Err() const { return ReadFile(folder_ + "/err"); }

private:
    std::string folder_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool running_ = true;
};

}  // namespace qsf_test
