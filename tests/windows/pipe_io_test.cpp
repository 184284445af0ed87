// The client end of real pipes served by the test pipe server under Wine:
// opening, transfers, end of stream, cancellation and the write time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "pipes/pipe_io_win32.h"
#include "support/error_message.h"
#include "support/process_usage_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

UniqueHandle ManualEvent(bool signalled) { return UniqueHandle(::CreateEventW(nullptr, TRUE, signalled, nullptr)); }

UniqueHandle OpenOrFail(const std::string& name) {
    PipeClientOpen opened = OpenPipeClient(name);
    EXPECT_EQ(opened.error, 0u) << name;
    return std::move(opened.pipe);
}

// Reads until `size` bytes have come (an echo server sends them all) or the stream ends.
std::string ReadExactly(HANDLE pipe, HANDLE cancel, std::size_t size) {
    std::string got;
    char buffer[4096];
    while (got.size() < size) {
        const std::uint32_t n = PipeTransfer(pipe, cancel, buffer, sizeof buffer, false);
        if (n == 0) break;
        got.append(buffer, n);
    }
    return got;
}

// Waits (bounded) until the pipe holds at least `size` unread bytes.
bool WaitForUnread(HANDLE pipe, DWORD size) {
    for (int i = 0; i < 500; ++i) {
        DWORD available = 0;
        if (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available >= size) return true;
        ::Sleep(10);
    }
    return false;
}

}  // namespace

// A pipe that does not exist hands back its error and no handle.
TEST(OpenPipeClient, ReturnsTheErrorOfAMissingPipe) {
    PipeClientOpen opened = OpenPipeClient(UniqueTestPipeName("absent"));
    EXPECT_FALSE(opened.pipe.held());
    EXPECT_EQ(opened.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The single instance is taken by the first client: the second is told it is busy.
TEST(OpenPipeClient, ReportsABusyPipe) {
    const std::string name = UniqueTestPipeName("busy");
    TestPipeServer server(name, {L"--mode", L"hold"});
    UniqueHandle first = OpenOrFail(name);
    PipeClientOpen second = OpenPipeClient(name);
    EXPECT_FALSE(second.pipe.held());
    EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_PIPE_BUSY));
}

// Bytes written come back unchanged from an echo server.
TEST(PipeTransfer, CarriesBytesBothWays) {
    const std::string name = UniqueTestPipeName("echo");
    TestPipeServer server(name, {});
    UniqueHandle pipe = OpenOrFail(name);
    UniqueHandle cancel = ManualEvent(false);
    std::string payload(100000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    std::size_t written = 0;
    while (written < payload.size()) {
        const std::uint32_t n = PipeTransfer(pipe.get(), cancel.get(), payload.data() + written,
                                             static_cast<std::uint32_t>(payload.size() - written), true);
        ASSERT_GT(n, 0u);
        written += n;
        // Drain as we go: the echo server blocks once both buffers are full.
        EXPECT_EQ(ReadExactly(pipe.get(), cancel.get(), n), payload.substr(written - n, n));
    }
}

// Data already there is returned without waiting, even with the cancellation
// event signalled.
TEST(PipeTransfer, ReturnsDataAlreadyThereDespiteCancellation) {
    const std::string name = UniqueTestPipeName("ready-data");
    TestPipeServer server(name, {L"--send", L"hello", L"--mode", L"hold"});
    UniqueHandle pipe = OpenOrFail(name);
    ASSERT_TRUE(WaitForUnread(pipe.get(), 5));
    UniqueHandle cancel = ManualEvent(true);
    char buffer[16] = {};
    EXPECT_EQ(PipeTransfer(pipe.get(), cancel.get(), buffer, sizeof buffer, false), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

// A cancelled read throws, leaves its buffer alone and nothing pending: the
// bytes sent afterwards go to the next read.
TEST(PipeTransfer, CancelledReadLeavesNothingPending) {
    const std::string name = UniqueTestPipeName("cancel");
    TestPipeServer server(name, {});
    UniqueHandle pipe = OpenOrFail(name);
    {
        UniqueHandle cancelled = ManualEvent(true);
        std::vector<char> buffer(64, 'x');
        EXPECT_EQ(MessageOf([&] { PipeTransfer(pipe.get(), cancelled.get(), buffer.data(), 64, false); }),
                  "Pipe operation cancelled or timed out.");
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(64, 'x'));
    }
    UniqueHandle cancel = ManualEvent(false);
    char text[] = "after";
    ASSERT_EQ(PipeTransfer(pipe.get(), cancel.get(), text, 5, true), 5u);
    EXPECT_TRUE(WaitForUnread(pipe.get(), 5));
    EXPECT_EQ(ReadExactly(pipe.get(), cancel.get(), 5), "after");
}

// A server that goes away: reads see the end of the stream, writes fail with
// the system's error number.
TEST(PipeTransfer, ServerDisconnectIsEndOfStreamForReadsAndAnErrorForWrites) {
    const std::string name = UniqueTestPipeName("gone");
    TestPipeServer server(name, {L"--mode", L"close"});
    UniqueHandle pipe = OpenOrFail(name);
    UniqueHandle cancel = ManualEvent(false);
    char buffer[16];
    EXPECT_EQ(PipeTransfer(pipe.get(), cancel.get(), buffer, sizeof buffer, false), 0u);
    EXPECT_EQ(PipeTransfer(pipe.get(), cancel.get(), buffer, sizeof buffer, false), 0u);
    const std::string message = MessageOf([&] { PipeTransfer(pipe.get(), cancel.get(), buffer, 4, true); });
    // The server disconnects its instance: the system reports ERROR_PIPE_NOT_CONNECTED.
    EXPECT_EQ(message, "Pipe I/O failed (Windows error 233).");
}

// A write that the server never takes ends with the time-out given, and the
// handle is left without a pending operation.
TEST(PipeTransfer, WriteToAServerThatNeverReadsTimesOut) {
    const std::string name = UniqueTestPipeName("stuck");
    TestPipeServer server(name, {L"--mode", L"never-read", L"--buffer", L"4096"});
    UniqueHandle pipe = OpenOrFail(name);
    UniqueHandle cancel = ManualEvent(false);
    std::vector<char> payload(8 << 20, 'w');
    const auto start = std::chrono::steady_clock::now();
    std::string message;
    // The first write may fill the buffers; some later one must wait.
    for (int i = 0; i < 4 && message.empty(); ++i) {
        message = MessageOf([&] {
            PipeTransfer(pipe.get(), cancel.get(), payload.data(), static_cast<std::uint32_t>(payload.size()), true,
                         1000);
        });
        if (message == "(no error)") message.clear();
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(message, "Pipe operation cancelled or timed out.");
    EXPECT_GE(waited, std::chrono::milliseconds(900));
}

// Every transfer makes and closes its own event: nothing accumulates.
TEST(PipeTransfer, LeavesNoHandlesBehind) {
    const std::string name = UniqueTestPipeName("count");
    TestPipeServer server(name, {});
    UniqueHandle cancel = ManualEvent(false);
    DWORD before = 0;
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        UniqueHandle pipe = OpenOrFail(name);
        ASSERT_TRUE(pipe.held());
        char byte = static_cast<char>(i);
        ASSERT_EQ(PipeTransfer(pipe.get(), cancel.get(), &byte, 1, true), 1u);
        ASSERT_EQ(ReadExactly(pipe.get(), cancel.get(), 1), std::string(1, static_cast<char>(i)));
        pipe.reset();
        // The single instance takes the next client once it has disconnected this one.
        for (int wait = 0; wait < 100 && !::WaitNamedPipeW(std::wstring(name.begin(), name.end()).c_str(), 100);
             ++wait) {
        }
    }
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

// A stock's events are new and unsignalled whenever taken, however many have
// been used and given back: none is reused. It holds a bounded number while it
// runs, and none once stopped. (Handles are counted in the system's table:
// GetProcessHandleCount answers 0 under Wine.)
TEST(IoEventStock, GivesOnlyNewEventsAndHoldsNoneOnceStopped) {
    const DWORD before = ProcessHandleCount(::GetCurrentProcess());
    IoEventStock stock;
    for (std::size_t i = 0; i < 4 * (IoEventStock::kReady + IoEventStock::kUsed); ++i) {
        UniqueHandle event = stock.Take();
        ASSERT_TRUE(event.held());
        EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << i;
        ::SetEvent(event.get());  // as its transfer's completion would
        stock.Retire(std::move(event));
    }
    // The events on either side of the helper, and the helper thread itself.
    EXPECT_LE(ProcessHandleCount(::GetCurrentProcess()), before + IoEventStock::kReady + IoEventStock::kUsed + 1);
    stock.Stop();
    EXPECT_EQ(ProcessHandleCount(::GetCurrentProcess()), before);
}
