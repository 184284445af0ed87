// Faults that only the real program on real pipes can meet: the reader of its
// output going away, a pipe server that never reads, input cut inside a frame
// while streams are open, servers that hang up at once, a close while a pump
// waits in a read. The rules behind each answer are tested natively (and the
// allowlist file's changes in allowlist_test.cpp); bench/ measures how fast.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "support/product_session_win32.h"
#include "support/process_usage_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

constexpr std::uint32_t kOpen = 2, kOpened = 3, kData = 5, kEof = 6, kClose = 7, kPing = 8, kPong = 9;

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
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop && std::chrono::steady_clock::now() < giveUp && service.Child().Write(ping)) {
        }
    });
    service.Child().CloseOutputReader();
    const DWORD status = service.Child().Wait(10000);
    if (status == STILL_ACTIVE) ::TerminateProcess(service.Child().Process(), 99);
    stop = true;
    client.join();
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(service.Child().Errors(), "SSH output closed.\r\n");
}

// A pipe server that takes no data: the program's write gives up after its
// time-out and closes only that stream with Close; the streams behind it
// carry data again afterwards. While the client keeps sending to the stalled
// stream it is held back (the input queue is bounded) and the program's
// memory stays bounded. Input that then ends inside a Data frame, with two
// streams open on real pipes, still ends the run with status 1 once every
// complete frame before it has been handled (each offset of the cut is a
// native table row).
TEST(Faults, AServerThatNeverReadsClosesOnlyItsStreamAndHoldsTheClientBack) {
    const std::string pipe = UniqueTestPipeName("stall");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--first-mode", L"never-read", L"--instances", L"4"});
    ProductSession bridge(BridgeArguments(allowlist, pipe));
    bridge.Open(1);  // the server's first client: never read
    bridge.Open(2);
    bridge.Open(3);
    bridge.Echo(2, Pattern(2, 5000));
    const std::uint64_t before = ProcessCommittedBytes(bridge.Child().Process());

    // 128 MiB for the stalled stream, then data for the others: all queued
    // behind the write that cannot finish.
    constexpr std::size_t kStalledBytes = 128u << 20;
    constexpr std::size_t kFrameBytes = 65536;
    const std::string stalledFrame = FrameBytes(kData, 1, Pattern(1, kFrameBytes));
    const std::string after2 = Pattern(20, 70000);
    const std::string after3 = Pattern(30, 70000);
    std::atomic<std::size_t> sent{0};
    std::thread client([&] {
        bool ok = true;
        for (std::size_t at = 0; ok && at < kStalledBytes; at += kFrameBytes) {
            ok = bridge.Child().Write(stalledFrame);
            sent += kFrameBytes;
        }
        if (ok) bridge.Child().Write(FrameBytes(kData, 2, after2) + FrameBytes(kData, 3, after3));
    });
    // Memory sampled until the Close for the stalled stream has come.
    std::atomic<bool> sampling{true};
    std::uint64_t peak = before;
    std::thread sampler([&] {
        while (sampling) {
            peak = std::max<std::uint64_t>(peak, ProcessCommittedBytes(bridge.Child().Process()));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const WireFrame closed = bridge.Next(60000);
    const std::size_t sentWhileStalled = sent;
    sampling = false;
    sampler.join();
    EXPECT_EQ(closed, (WireFrame{kClose, 1, ""}));
    EXPECT_LT(sentWhileStalled, kStalledBytes) << "the client was never held back";
    // The input queue holds 4 MiB and the frame buffer about as much: far
    // below the 128 MiB a program that kept everything would need.
    EXPECT_GT(before, 0u);
    EXPECT_LT(peak - before, 48u << 20);

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
    // Once both echoes are whole the program has taken all the client wrote;
    // otherwise its end makes the client's blocked write return.
    if (HasFailure()) ::TerminateProcess(bridge.Child().Process(), 99);
    client.join();
    EXPECT_TRUE(echoed[2] == after2);
    EXPECT_TRUE(echoed[3] == after3);

    bridge.Send(FrameBytes(kPing, 1, "before") + FrameBytes(kData, 3, Pattern(3, 300)).substr(0, 100));
    bridge.Child().CloseInput();
    EXPECT_EQ(bridge.Next(), (WireFrame{kPong, 1, "before"}));
    EXPECT_EQ(bridge.Child().Wait(kSessionWaitMs), 1u);
    EXPECT_EQ(bridge.Child().TakeAllOutput(), "");
    EXPECT_EQ(bridge.Child().Errors(), "Truncated input frame.\r\n");
}

// Streams opened in batches against servers that end them in their own ways;
// each stream gets exactly its frames in order, whatever the interleaving
// between streams, and nothing else comes. A row with `closeWhenOpened`
// closes each stream as soon as it is open, while its pump waits in a read.
TEST(Faults, EachStreamGetsExactlyItsFramesFromServersThatHangUpOrStayQuiet) {
    struct Row {
        const char* name;
        const wchar_t* mode;
        std::uint32_t streams;
        std::uint32_t batch;
        bool closeWhenOpened;
        std::vector<WireFrame> expected;  // stream ID 0 stands for the stream's own
    };
    const Row rows[] = {
        // Up to 32 finished streams not yet reaped: a batch never meets the 64-stream limit.
        {"servers that hang up at once", L"close", 1024, 32, false, {{kOpened, 0, ""}, {kEof, 0, ""}, {kClose, 0, ""}}},
        // The second batch opens only once the first batch's instances are free.
        {"quiet servers closed by the client", L"hold", 4, 2, true, {{kOpened, 0, ""}, {kPong, 0, "c"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string pipe = UniqueTestPipeName("ends");
        AllowlistFile allowlist({pipe});
        TestPipeServer server(pipe, {L"--mode", row.mode, L"--instances", std::to_wstring(std::min(row.batch, 8u))});
        ProductSession bridge(BridgeArguments(allowlist, pipe));
        std::map<std::uint32_t, std::size_t> seen;
        for (std::uint32_t first = 1; first <= row.streams && !HasFailure(); first += row.batch) {
            std::string opens;
            for (std::uint32_t id = first; id < first + row.batch; ++id) opens += FrameBytes(kOpen, id);
            bridge.Send(opens);
            for (std::uint32_t done = 0; done < row.batch;) {
                const WireFrame f = bridge.Next();
                const std::size_t at = seen[f.streamId]++;
                if (f.streamId < first || f.streamId >= first + row.batch || at >= row.expected.size() ||
                    f != WireFrame{row.expected[at].type, f.streamId, row.expected[at].payload}) {
                    ADD_FAILURE() << "stream " << f.streamId << " got frame " << f.type << " (" << f.payload
                                  << ") as frame " << at + 1;
                    break;
                }
                if (row.closeWhenOpened && f.type == kOpened)
                    bridge.Send(FrameBytes(kClose, f.streamId) + FrameBytes(kPing, f.streamId, "c"));
                if (at + 1 == row.expected.size()) ++done;
            }
        }
        EXPECT_EQ(seen.size(), row.streams);
        bridge.Sync();
        bridge.End();
    }
}
