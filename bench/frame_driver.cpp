// frame-driver: a native client that drives a program over its standard
// streams fast enough never to be what limits the figure: reads of up to
// 1 MiB, frames cut in place by the product's own FrameBuffer, many frames per
// write, and every byte checked. Used by bench/bench_bridge.py.
//
//   frame-driver --mode echo|source|ping [--streams N] [--mib M] [--count N]
//                [--framing bridge|copy|raw] -- COMMAND [ARGS...]
//
//   echo    sends M MiB on each of N streams in 32 KiB Data frames, taken in
//           turn, and reads every byte back (the pipe server echoes)
//   source  reads M MiB on each of N streams from a server that sends
//           without pause
//   ping    N Ping frames of 64 bytes, one at a time: median and p99
//
// The time of a transfer runs from the first byte read to the last, so that
// a program that starts without a greeting (a copy, a relay) is not timed
// while it starts.
//
// Framing: `bridge` greets, opens the streams and closes them at the end;
// `copy` is a program that copies its input to its output (stdio-copy), so
// the frames sent come back as they are; `raw` is a relay without framing,
// one stream of bytes. Byte k of a stream is k % 251, both ways.
//
// Prints one line of key=value pairs on standard output, a transfer's with the
// processor time of the program (program_cpu_s: with the processes it waited
// for, under Wine its start included); a failure prints one line on standard
// error and exits 2. The program's exit status must be 0.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/frame.h"

namespace {

constexpr std::uint32_t kBlock = 32768;
constexpr std::size_t kPeriod = 251;
constexpr std::size_t kReadSize = 1 << 20;
constexpr std::size_t kFramesPerWrite = 32;
constexpr std::uint32_t kPingStream = 5;
constexpr std::size_t kPingBytes = 64;

using Clock = std::chrono::steady_clock;

// The program under test, once started: a failure names how it ended.
pid_t g_child = -1;

[[noreturn]] void Fail(const std::string& what) {
    std::string ending;
    int status = 0;
    bool ended = false;
    for (int i = 0; g_child > 0 && i < 200 && !ended; ++i) {  // at most 2 s
        ended = ::waitpid(g_child, &status, WNOHANG) == g_child;
        if (!ended) ::usleep(10000);
    }
    if (ended) {
        ending = WIFEXITED(status) ? " (the program exited with " + std::to_string(WEXITSTATUS(status)) + ")"
                                   : " (the program ended by signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    std::fprintf(stderr, "frame-driver: %s%s\n", what.c_str(), ending.c_str());
    std::fflush(stderr);
    std::exit(2);
}

enum class Mode { Echo, Source, Ping };
enum class Framing { Bridge, Copy, Raw };

struct Options {
    Mode mode = Mode::Echo;
    Framing framing = Framing::Bridge;
    std::uint32_t streams = 1;
    std::uint64_t bytesPerStream = 32ull << 20;
    int count = 1000;
    std::vector<char*> command;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) Fail("usage: --mode MODE [--streams N] [--mib M] [--count N] [--framing F] -- COMMAND");
        const std::string_view value = argv[++i];
        if (word == "--mode" && value == "echo") options.mode = Mode::Echo;
        else if (word == "--mode" && value == "source") options.mode = Mode::Source;
        else if (word == "--mode" && value == "ping") options.mode = Mode::Ping;
        else if (word == "--framing" && value == "bridge") options.framing = Framing::Bridge;
        else if (word == "--framing" && value == "copy") options.framing = Framing::Copy;
        else if (word == "--framing" && value == "raw") options.framing = Framing::Raw;
        else if (word == "--streams") options.streams = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10));
        else if (word == "--mib") options.bytesPerStream = std::strtoull(argv[i], nullptr, 10) << 20;
        else if (word == "--count") options.count = std::atoi(argv[i]);
        else Fail("unknown option " + std::string(word) + " " + std::string(value));
    }
    for (; i < argc; ++i) options.command.push_back(argv[i]);
    options.command.push_back(nullptr);
    if (options.command.size() < 2 || options.streams == 0 || options.bytesPerStream == 0 || options.count <= 0) {
        Fail("nothing to run, or a count of 0");
    }
    if (options.framing == Framing::Raw && (options.streams != 1 || options.mode == Mode::Ping)) {
        Fail("raw bytes are one stream, and carry no Ping");
    }
    return options;
}

// Long enough that any block can start at any phase of the period.
struct Pattern {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kReadSize + kPeriod);
    Pattern() {
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % kPeriod);
    }
    const std::uint8_t* At(std::uint64_t offset) const { return bytes.data() + offset % kPeriod; }
    bool Matches(std::uint64_t offset, const std::uint8_t* data, std::size_t size) const {
        return std::memcmp(data, At(offset), size) == 0;
    }
};

// The program under test, on both ends of two pipes.
struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output

    explicit Child(std::vector<char*>& command) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) Fail("pipe2 failed");
        pid = ::fork();
        if (pid < 0) Fail("fork failed");
        if (pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::execvp(command[0], command.data());
            std::fprintf(stderr, "frame-driver: cannot run %s\n", command[0]);
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        g_child = pid;
        in = toChild[1];
        out = fromChild[0];
    }

    void Send(const void* data, std::size_t size) const {
        const auto* at = static_cast<const std::uint8_t*>(data);
        while (size > 0) {
            const ssize_t wrote = ::write(in, at, size);
            if (wrote <= 0) Fail("the program stopped taking input");
            at += wrote;
            size -= static_cast<std::size_t>(wrote);
        }
    }

    void EndInput() {
        if (in >= 0) ::close(in);
        in = -1;
    }

    // Reads what has come (up to 1 MiB) into `buffer`; 0 at the end.
    std::size_t Read(std::uint8_t* buffer) const {
        for (;;) {
            const ssize_t got = ::read(out, buffer, kReadSize);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) Fail("read failed");
        }
    }

    // Reads to the end of the program's output and takes its exit status.
    // `cpuSeconds` gets the processor time the program used (with whatever
    // it started and waited for).
    int Finish(double* cpuSeconds = nullptr) {
        EndInput();
        std::vector<std::uint8_t> sink(kReadSize);
        while (Read(sink.data()) > 0) {
        }
        ::close(out);
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) Fail("waitpid failed");
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        if (cpuSeconds) {
            *cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

void AppendFrame(std::vector<std::uint8_t>& out, FrameType type, std::uint32_t stream, const std::uint8_t* payload,
                 std::uint32_t length) {
    FrameHeader header;
    if (!BuildFrameHeader(static_cast<std::uint32_t>(type), stream, length, header)) Fail("bad frame");
    out.insert(out.end(), header.bytes, header.bytes + kFrameHeaderSize);
    if (length != 0) out.insert(out.end(), payload, payload + length);
}

// Frames of the program's output, cut in place.
class FrameReader {
public:
    explicit FrameReader(const Child& child) : child_(child), block_(kReadSize) {}

    // The next whole frame; fails at the end of the output or on a bad frame.
    FrameView Next() {
        buffer_.ConsumeFrame();
        FrameView view;
        for (;;) {
            const ParseStatus status = buffer_.ParseFrame(view);
            if (status == ParseStatus::Ok) return view;
            if (status != ParseStatus::NeedMore) Fail("the program wrote a bad frame");
            const std::size_t got = child_.Read(block_.data());
            if (got == 0) Fail("the program's output ended early");
            if (!buffer_.AppendInput(block_.data(), got)) Fail("more than 4 MiB of a frame");
        }
    }

private:
    const Child& child_;
    std::vector<std::uint8_t> block_;
    FrameBuffer buffer_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Tally {
    std::vector<std::uint64_t> got;  // bytes back per stream (index 0 unused)
    std::vector<double> doneAt;      // seconds from the start when each stream had all
    std::uint64_t frames = 0;
};

void Check(const Pattern& pattern, Tally& tally, std::uint32_t stream, const std::uint8_t* data, std::size_t size,
           std::uint64_t each, Clock::time_point start) {
    if (stream == 0 || stream >= tally.got.size()) Fail("data on stream " + std::to_string(stream));
    std::uint64_t& got = tally.got[stream];
    if (got + size > each) Fail("more bytes than sent on stream " + std::to_string(stream));
    if (!pattern.Matches(got, data, size)) Fail("bytes differ on stream " + std::to_string(stream));
    got += size;
    if (got == each) tally.doneAt[stream] = Seconds(Clock::now() - start);
}

void OpenStreams(const Child& child, FrameReader& reader, std::uint32_t streams) {
    std::vector<std::uint8_t> opens;
    for (std::uint32_t s = 1; s <= streams; ++s) AppendFrame(opens, FrameType::Open, s, nullptr, 0);
    child.Send(opens.data(), opens.size());
    for (std::uint32_t s = 1; s <= streams; ++s) {
        const FrameView view = reader.Next();
        if (view.type != static_cast<std::uint32_t>(FrameType::Opened)) {
            Fail("stream " + std::to_string(view.streamId) + " did not open: type " + std::to_string(view.type) + " " +
                 std::string(reinterpret_cast<const char*>(view.payload), view.length));
        }
    }
}

// Sends every stream's bytes in 32 KiB Data frames, the streams in turn.
void SendStreams(const Child& child, const Pattern& pattern, const Options& options) {
    std::vector<std::uint8_t> batch;
    batch.reserve(kFramesPerWrite * (kFrameHeaderSize + kBlock));
    for (std::uint64_t offset = 0; offset < options.bytesPerStream; offset += kBlock) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlock, options.bytesPerStream - offset));
        for (std::uint32_t s = 1; s <= options.streams; ++s) {
            if (options.framing == Framing::Raw)
                batch.insert(batch.end(), pattern.At(offset), pattern.At(offset) + length);
            else AppendFrame(batch, FrameType::Data, s, pattern.At(offset), length);
            if (batch.size() >= kFramesPerWrite * kBlock) {
                child.Send(batch.data(), batch.size());
                batch.clear();
            }
        }
    }
    child.Send(batch.data(), batch.size());
}

void RunTransfer(Child& child, const Options& options) {
    const Pattern pattern;
    const std::uint64_t each = options.bytesPerStream;
    Tally tally;
    tally.got.assign(options.streams + 1, 0);
    tally.doneAt.assign(options.streams + 1, 0.0);
    FrameReader reader(child);
    if (options.framing == Framing::Bridge) {
        if (reader.Next().type != static_cast<std::uint32_t>(FrameType::Hello)) Fail("no Hello");
        OpenStreams(child, reader, options.streams);
    }
    const bool echo = options.mode == Mode::Echo;
    if (!echo && options.framing == Framing::Copy) Fail("a copy has no source");

    Clock::time_point start;
    std::thread sender;
    if (echo) sender = std::thread([&] { SendStreams(child, pattern, options); });
    std::uint64_t left = each * options.streams;
    bool started = false;
    if (options.framing == Framing::Raw) {
        std::vector<std::uint8_t> block(kReadSize);
        while (left > 0) {
            const std::size_t got = child.Read(block.data());
            if (got == 0) Fail("the program's output ended early");
            if (!started) {
                start = Clock::now();
                started = true;
            }
            Check(pattern, tally, 1, block.data(), got, each, start);
            ++tally.frames;
            left -= got;
        }
    } else {
        while (left > 0) {
            const FrameView view = reader.Next();
            if (view.type != static_cast<std::uint32_t>(FrameType::Data)) {
                Fail("frame of type " + std::to_string(view.type) + " on stream " + std::to_string(view.streamId));
            }
            if (!started) {
                start = Clock::now();
                started = true;
            }
            Check(pattern, tally, view.streamId, view.payload, view.length, each, start);
            ++tally.frames;
            left -= view.length;
        }
    }
    const double seconds = Seconds(Clock::now() - start);
    if (sender.joinable()) sender.join();

    if (options.framing == Framing::Bridge) {
        std::vector<std::uint8_t> closes;
        for (std::uint32_t s = 1; s <= options.streams; ++s) AppendFrame(closes, FrameType::Close, s, nullptr, 0);
        child.Send(closes.data(), closes.size());
    }
    double cpu = 0;
    const int status = child.Finish(&cpu);
    if (status != 0) Fail("the program's exit status was " + std::to_string(status));

    const auto done = std::minmax_element(tally.doneAt.begin() + 1, tally.doneAt.end());
    const double total = static_cast<double>(each) * options.streams;
    std::printf("mode=%s streams=%u bytes=%llu seconds=%.4f mib_per_s=%.1f reads=%llu avg_read=%.0f "
                "first_done_s=%.3f last_done_s=%.3f program_cpu_s=%.3f\n",
                echo ? "echo" : "source", options.streams, static_cast<unsigned long long>(total), seconds,
                total / (1024.0 * 1024.0) / seconds, static_cast<unsigned long long>(tally.frames),
                total / static_cast<double>(tally.frames), *done.first, *done.second, cpu);
}

void RunPing(Child& child, const Options& options) {
    FrameReader reader(child);
    if (options.framing == Framing::Bridge && reader.Next().type != static_cast<std::uint32_t>(FrameType::Hello)) {
        Fail("no Hello");
    }
    std::uint8_t payload[kPingBytes];
    for (std::size_t i = 0; i < kPingBytes; ++i) payload[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> ping;
    AppendFrame(ping, FrameType::Ping, kPingStream, payload, kPingBytes);
    const auto answer = options.framing == Framing::Copy ? FrameType::Ping : FrameType::Pong;
    std::vector<double> times;
    for (int i = 0; i < options.count; ++i) {
        const Clock::time_point sent = Clock::now();
        child.Send(ping.data(), ping.size());
        const FrameView view = reader.Next();
        times.push_back(Seconds(Clock::now() - sent) * 1e6);
        if (view.type != static_cast<std::uint32_t>(answer) || view.streamId != kPingStream ||
            view.length != kPingBytes || std::memcmp(view.payload, payload, kPingBytes) != 0) {
            Fail("a wrong answer to Ping");
        }
    }
    const int status = child.Finish();
    if (status != 0) Fail("the program's exit status was " + std::to_string(status));
    std::sort(times.begin(), times.end());
    const std::size_t p99 = std::max<std::size_t>(1, times.size() * 99 / 100) - 1;
    std::printf("mode=ping count=%d median_us=%.0f p99_us=%.0f\n", options.count, times[times.size() / 2], times[p99]);
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    Child child(options.command);
    if (options.mode == Mode::Ping) RunPing(child, options);
    else RunTransfer(child, options);
    std::fflush(stdout);
    return 0;
}
