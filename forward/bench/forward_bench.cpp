// Prints the throughput of one local connection through quorl-socket-forward
// and a stand-in bridge that echoes, beside the same bridge driven directly
// with frames, and the round-trip latency each way; the difference is what the
// forwarder adds.
//
//   forward_bench [MEBIBYTES] [ROUND_TRIPS]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/frame.h"
#include "unique_fd.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Child {
    pid_t pid = -1;
    UniqueFd input;   // its stdin
    UniqueFd output;  // its stdout
    ~Child() {
        input.reset();
        output.reset();
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

void Spawn(Child& child, const std::vector<std::string>& argv, bool pipes) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes) {
        if (pipe(in) != 0 || pipe(out) != 0) std::exit(1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    if (pipes) {
        close(in[0]);
        close(out[1]);
        child.input.reset(in[1]);
        child.output.reset(out[0]);
    }
}

// One byte stream to an echo.
struct Endpoint {
    virtual ~Endpoint() = default;
    virtual std::size_t Write(const char* bytes, std::size_t count) = 0;  // what it takes now
    virtual std::size_t Read(std::string& into) = 0;                      // what is there now
    virtual void Wait(bool wantWrite) = 0;
};

struct SocketEndpoint final : Endpoint {
    UniqueFd fd;
    std::size_t Write(const char* bytes, std::size_t count) override {
        ssize_t n = send(fd.get(), bytes, count, 0);  // SIGPIPE is ignored
        return n < 0 ? 0 : static_cast<std::size_t>(n);
    }
    std::size_t Read(std::string& into) override {
        char block[65536];
        ssize_t n = recv(fd.get(), block, sizeof block, 0);
        if (n <= 0) return 0;
        into.append(block, static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
    }
    void Wait(bool wantWrite) override {
        pollfd p{fd.get(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
        poll(&p, 1, 1000);
    }
};

// The stand-in bridge spoken to directly in frames, on stream 1.
struct FrameEndpoint final : Endpoint {
    Child* child = nullptr;
    std::string pendingOut;  // frame bytes not yet taken
    FrameBuffer in;
    void Flush() {
        ssize_t n = write(child->input.get(), pendingOut.data(), pendingOut.size());
        if (n > 0) pendingOut.erase(0, static_cast<std::size_t>(n));
    }
    std::size_t Write(const char* bytes, std::size_t count) override {
        if (!pendingOut.empty()) {
            Flush();
            return 0;
        }
        std::size_t part = std::min<std::size_t>(count, 32768);
        FrameHeader h{};
        BuildFrameHeader(static_cast<std::uint32_t>(FrameType::Data), 1, static_cast<std::uint32_t>(part), h);
        pendingOut.assign(reinterpret_cast<const char*>(h.bytes), kFrameHeaderSize);
        pendingOut.append(bytes, part);
        Flush();
        return part;
    }
    std::size_t Read(std::string& into) override {
        if (!pendingOut.empty()) Flush();
        char block[65536];
        ssize_t n = read(child->output.get(), block, sizeof block);
        if (n <= 0) return 0;
        in.AppendInput(block, static_cast<std::size_t>(n));
        std::size_t got = 0;
        FrameView view;
        while (in.ParseFrame(view) == ParseStatus::Ok) {
            if (view.type == static_cast<std::uint32_t>(FrameType::Data)) {
                into.append(reinterpret_cast<const char*>(view.payload), view.length);
                got += view.length;
            }
            in.ConsumeFrame();
        }
        return got;
    }
    void Wait(bool wantWrite) override {
        pollfd p[2] = {{child->output.get(), POLLIN, 0},
                       {child->input.get(), static_cast<short>(wantWrite || !pendingOut.empty() ? POLLOUT : 0), 0}};
        poll(p, 2, 1000);
    }
};

// Sends `total` bytes while reading the echo; returns MiB/s of payload.
double Throughput(Endpoint& end, std::size_t total) {
    std::string block(65536, 'x');
    std::string echoed;
    std::size_t sent = 0, received = 0;
    auto start = Clock::now();
    while (received < total) {
        if (sent < total) sent += end.Write(block.data(), std::min(block.size(), total - sent));
        std::size_t got = end.Read(echoed);
        received += got;
        if (echoed.size() > (1 << 20)) echoed.clear();
        if (got == 0) end.Wait(sent < total);
    }
    return static_cast<double>(total) / 1048576.0 / Seconds(Clock::now() - start);
}

// Round trips of 64 bytes; returns the median and the 99th percentile in us.
std::pair<double, double> Latency(Endpoint& end, int rounds) {
    std::vector<double> samples;
    std::string message(64, 'r');
    for (int i = 0; i < rounds; ++i) {
        std::string echoed;
        auto start = Clock::now();
        std::size_t sent = 0;
        while (sent < message.size()) sent += end.Write(message.data() + sent, message.size() - sent);
        while (echoed.size() < message.size()) {
            if (end.Read(echoed) == 0) end.Wait(false);
        }
        samples.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

void OpenDirectStream(Child& bridge) {
    FrameHeader h{};
    BuildFrameHeader(static_cast<std::uint32_t>(FrameType::Open), 1, 0, h);
    if (write(bridge.input.get(), h.bytes, sizeof h.bytes) != static_cast<ssize_t>(sizeof h.bytes)) std::exit(1);
    // Hello, then Opened with its 11-byte label.
    std::string greeting;
    char block[256];
    while (greeting.size() < 2 * kFrameHeaderSize + 11) {
        ssize_t n = read(bridge.output.get(), block, sizeof block);
        if (n <= 0) std::exit(1);
        greeting.append(block, static_cast<std::size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 2000;
    std::size_t total = mebibytes * 1048576;
    signal(SIGPIPE, SIG_IGN);

    std::string folder = (std::filesystem::temp_directory_path() / "qsf-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) return 1;
    std::string path = folder + "/bench.sock";

    double directRate, forwardRate;
    std::pair<double, double> directLatency, forwardLatency;
    {
        Child bridge;
        Spawn(bridge, {QSF_FAKE_BRIDGE_PROGRAM}, true);
        OpenDirectStream(bridge);
        SetNonBlocking(bridge.input.get());
        SetNonBlocking(bridge.output.get());
        FrameEndpoint direct;
        direct.child = &bridge;
        directRate = Throughput(direct, total);
        directLatency = Latency(direct, rounds);
    }
    {
        Child forwarder;
        Spawn(forwarder, {QSF_FORWARD_PROGRAM, "--listen", path, "--", QSF_FAKE_BRIDGE_PROGRAM}, false);
        SocketEndpoint local;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            local.fd.reset(socket(AF_UNIX, SOCK_STREAM, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
            if (connect(local.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
            if (Clock::now() > deadline) return 1;
            poll(nullptr, 0, 10);
        }
        SetNonBlocking(local.fd.get());
        forwardRate = Throughput(local, total);
        forwardLatency = Latency(local, rounds);
    }
    std::filesystem::remove_all(folder);

    std::printf("echo of %zu MiB on one stream, %d round trips of 64 bytes\n", mebibytes, rounds);
    std::printf("%-34s %10s %14s %14s\n", "", "MiB/s", "median RTT us", "p99 RTT us");
    std::printf("%-34s %10.1f %14.1f %14.1f\n", "stand-in bridge driven directly", directRate, directLatency.first,
                directLatency.second);
    std::printf("%-34s %10.1f %14.1f %14.1f\n", "through quorl-socket-forward", forwardRate, forwardLatency.first,
                forwardLatency.second);
    std::printf("forwarder/direct throughput: %.2f; added median round trip: %.1f us\n", forwardRate / directRate,
                forwardLatency.first - directLatency.first);
    return 0;
}
