// Faults that only the real program on real pipes can meet: the reader of its
// output going away, input cut inside a frame, a pipe server that never
// reads, servers that hang up at once, a close while a pump waits in a read.
// The rules behind each answer are tested natively (and the allowlist file's
// changes in allowlist_test.cpp); figures are printed, never judged.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "support/product_session_win32.h"
#include "support/process_usage_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kOpen = 2, kOpened = 3, kData = 5, kEof = 6, kClose = 7, kPing = 8, kPong = 9;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Joins a thread that writes to the program's input once it says it is done.
// A program that stopped taking its input is ended first (after a bounded
// wait), so that the thread's blocked write returns.
void JoinWriter(std::thread& writer, const std::atomic<bool>& done, ChildProcess& child) {
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    while (!done && Clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
        ADD_FAILURE() << "the program stopped taking its input";
        ::TerminateProcess(child.Process(), 99);
    }
    writer.join();
}

}  // namespace

// The client keeps its input open, but nobody reads the program's output any
// more: the next write to the dead pipe fails, and the run ends with status 1
// and the one error line. Which thread meets the dead output, and that the run
// then ends without waiting for the input, is tested natively
// (BridgeMode.AnOutputThatDiesUnderAPumpEndsTheRun, EngineLoop).
TEST(Faults, AVanishedOutputReaderEndsTheRun) {
    ProductSession service({L"service"}, true);
    service.Sync(1);
    // Pongs larger than the pipe can buffer once nobody takes them, sent for
    // as long as the program takes its input.
    std::atomic<bool> stop{false};
    const std::string ping = FrameBytes(kPing, 2, Pattern(2, 1000));
    std::thread client([&] {
        const auto giveUp = Clock::now() + std::chrono::seconds(20);
        while (!stop && Clock::now() < giveUp && service.Child().Write(ping)) {
        }
    });
    const auto closed = Clock::now();
    service.Child().CloseOutputReader();
    const DWORD status = service.Child().Wait(10000);
    const double elapsedMs = MillisecondsSince(closed);
    if (status == STILL_ACTIVE) ::TerminateProcess(service.Child().Process(), 99);
    stop = true;
    client.join();
    std::printf("[ figures  ] output reader gone: run ended %.0f ms later\n", elapsedMs);
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(service.Child().Errors(), "SSH output closed.\r\n");
}

// Input that ends inside a Data frame of an open stream: every complete
// frame before it is handled, the stream's pipe is closed on the way out, and
// the run ends with status 1 (each offset of the cut is a native table row).
TEST(Faults, InputCutInsideADataFrameEndsABridgeRun) {
    const std::string pipe = UniqueTestPipeName("cut");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--instances", L"2"});
    for (const std::size_t at : {8u, 100u}) {
        SCOPED_TRACE("cut after byte " + std::to_string(at));
        const ProgramResult bridge =
            RunProduct(BridgeArguments(allowlist, pipe), FrameBytes(kOpen, 1) + FrameBytes(kPing, 1, "before") +
                                                             FrameBytes(kData, 1, Pattern(1, 300)).substr(0, at));
        EXPECT_EQ(bridge.exitCode, 1u);
        EXPECT_EQ(bridge.out, kHello + FrameBytes(kOpened, 1) + FrameBytes(kPong, 1, "before"));
        EXPECT_EQ(bridge.err, "Truncated input frame.\r\n");
    }
}

// A pipe server that takes no data: the program's write gives up after its
// time-out and closes only that stream with Close; the streams behind it
// carry data again afterwards; while the client keeps sending to the stalled
// stream, the program's memory stays bounded (its input queue is bounded, so
// the client is held back instead).
TEST(Faults, AServerThatNeverReadsClosesOnlyItsStreamAndMemoryStaysBounded) {
    const std::string pipe = UniqueTestPipeName("stall");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--first-mode", L"never-read", L"--instances", L"4"});
    ProductSession bridge(BridgeArguments(allowlist, pipe));
    bridge.Open(1);  // the server's first client: never read
    bridge.Open(2);
    bridge.Open(3);
    bridge.Echo(2, Pattern(2, 5000));
    const ProcessMemory before = ProcessMemoryUsage(bridge.Child().Process());

    // 128 MiB for the stalled stream, then data for the others: all queued
    // behind the write that cannot finish.
    constexpr std::size_t kStalledBytes = 128u << 20;
    constexpr std::size_t kFrameBytes = 65536;
    const std::string stalledFrame = FrameBytes(kData, 1, Pattern(1, kFrameBytes));
    const std::string after2 = Pattern(20, 70000);
    const std::string after3 = Pattern(30, 70000);
    std::atomic<std::size_t> sent{0};
    std::atomic<bool> clientDone{false};
    std::thread client([&] {
        bool ok = true;
        for (std::size_t at = 0; ok && at < kStalledBytes; at += kFrameBytes) {
            ok = bridge.Child().Write(stalledFrame);
            sent += kFrameBytes;
        }
        if (ok) bridge.Child().Write(FrameBytes(kData, 2, after2) + FrameBytes(kData, 3, after3));
        clientDone = true;
    });

    // Memory while the write is stalled and the client is held back, sampled
    // until the Close for the stalled stream has come.
    std::atomic<bool> sampling{true};
    std::uint64_t peak = before.Committed();
    std::thread sampler([&] {
        while (sampling) {
            peak = std::max<std::uint64_t>(peak, ProcessMemoryUsage(bridge.Child().Process()).Committed());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto stalled = Clock::now();
    const WireFrame closed = bridge.Next(60000);
    const double closedAfterMs = MillisecondsSince(stalled);
    const std::size_t sentWhileStalled = sent;
    sampling = false;
    sampler.join();
    EXPECT_EQ(closed, (WireFrame{kClose, 1, ""}));

    // The streams behind the stalled one echo what was queued for them, and
    // stream 1 says nothing more.
    std::map<std::uint32_t, std::string> echoed;
    while (echoed[2].size() < after2.size() || echoed[3].size() < after3.size()) {
        const WireFrame f = bridge.Next(60000);
        if (f.type != kData || (f.streamId != 2 && f.streamId != 3)) {
            ADD_FAILURE() << "unexpected frame " << f.type << " for " << f.streamId << ": " << f.payload.substr(0, 80);
            break;
        }
        echoed[f.streamId] += f.payload;
    }
    JoinWriter(client, clientDone, bridge.Child());
    EXPECT_TRUE(echoed[2] == after2);
    EXPECT_TRUE(echoed[3] == after3);
    bridge.Echo(3, Pattern(31, 1000));

    std::printf("[ figures  ] stalled write: Close after %.0f ms; client had sent %zu MiB of %zu MiB by then\n",
                closedAfterMs, sentWhileStalled >> 20, kStalledBytes >> 20);
    std::printf("[ figures  ] stalled write: committed memory %.1f MiB before, peak %.1f MiB while the client sent\n",
                before.Committed() / 1048576.0, peak / 1048576.0);
    EXPECT_LT(sentWhileStalled, kStalledBytes) << "the client was never held back";
    // The input queue holds 4 MiB and the frame buffer about as much: far
    // below the 128 MiB a program that kept everything would need.
    EXPECT_GT(before.Committed(), 0u);
    EXPECT_LT(peak - before.Committed(), 48u << 20);
    bridge.Send(FrameBytes(kClose, 2) + FrameBytes(kClose, 3));
    bridge.End();
}

// 1,024 streams to a server that accepts and disconnects at once, 32 at a
// time: each is answered Opened, Eof, Close in that order and nothing else.
TEST(Faults, ServersThatHangUpAtOnceEachGiveOpenedEofClose) {
    const std::string pipe = UniqueTestPipeName("hangup");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--mode", L"close", L"--instances", L"8"});
    ProductSession bridge(BridgeArguments(allowlist, pipe));

    constexpr std::uint32_t kStreams = 1024;
    // With up to 32 finished streams not yet reaped, a batch never meets the
    // 64-stream limit.
    constexpr std::uint32_t kBatch = 32;
    const std::vector<std::uint32_t> expected{kOpened, kEof, kClose};
    std::map<std::uint32_t, std::vector<std::uint32_t>> seen;
    for (std::uint32_t first = 1; first <= kStreams && !HasFailure(); first += kBatch) {
        std::string opens;
        for (std::uint32_t id = first; id < first + kBatch; ++id) opens += FrameBytes(kOpen, id);
        bridge.Send(opens);
        for (std::uint32_t done = 0; done < kBatch;) {
            const WireFrame f = bridge.Next();
            std::vector<std::uint32_t>& types = seen[f.streamId];
            types.push_back(f.type);
            if (f.streamId < first || f.streamId >= first + kBatch || types.size() > 3 || !f.payload.empty() ||
                !std::equal(types.begin(), types.end(), expected.begin())) {
                ADD_FAILURE() << "stream " << f.streamId << " got frame " << f.type << " (" << f.payload
                              << ") as frame " << types.size();
                break;
            }
            if (types.size() == 3) ++done;
        }
    }
    EXPECT_EQ(seen.size(), kStreams);
    bridge.Sync();
    bridge.End();
}

// A stream whose pump waits in a read of a quiet pipe is closed at the
// client's word: the Ping behind the Close is answered, and the next stream
// opens (bench/windows/close_latency_bench.cpp measures how fast).
TEST(Faults, AStreamBlockedInAReadClosesAtTheClientsWord) {
    const std::string pipe = UniqueTestPipeName("hold");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--mode", L"hold", L"--instances", L"2"});
    ProductSession bridge(BridgeArguments(allowlist, pipe));
    for (std::uint32_t id = 1; id <= 2; ++id) {
        bridge.Open(id);
        bridge.Send(FrameBytes(kClose, id) + FrameBytes(kPing, 101, "c"));
        ASSERT_EQ(bridge.Next(), (WireFrame{kPong, 101, "c"}));
    }
    bridge.End();
}
