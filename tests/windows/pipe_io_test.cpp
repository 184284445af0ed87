// The client end of real pipes served by the test pipe server under Wine:
// cancellation and the event stock. Bytes both ways and a server that goes
// away are the transcripts' and the soak's; opening a missing or busy pipe
// is shown through ConnectPipe, the write time-out by the faults of the program.

#include <gtest/gtest.h>

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

}  // namespace

// Data already there is returned without waiting, even with the cancellation
// event signalled. A cancelled read with nothing there throws, leaves its
// buffer alone and nothing pending: the bytes sent afterwards go to the next read.
TEST(PipeTransfer, TakesDataAlreadyThereAndLeavesNothingPendingWhenCancelled) {
    const std::string name = UniqueTestPipeName("cancel");
    TestPipeServer server(name, {L"--send", L"hello"});
    UniqueHandle pipe = OpenOrFail(name);
    DWORD unread = 0;  // the server's five bytes, once they are there (a bounded wait)
    for (int i = 0; i < 500 && (!::PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &unread, nullptr) || unread < 5);
         ++i) {
        ::Sleep(10);
    }
    ASSERT_EQ(unread, 5u);
    UniqueHandle cancelled = ManualEvent(true);
    std::vector<char> buffer(64, 'x');
    EXPECT_EQ(PipeTransfer(pipe.get(), cancelled.get(), buffer.data(), 64, false), 5u);
    EXPECT_EQ(std::string(buffer.data(), 5), "hello");
    buffer.assign(64, 'x');
    EXPECT_EQ(MessageOf([&] { PipeTransfer(pipe.get(), cancelled.get(), buffer.data(), 64, false); }),
              "Pipe operation cancelled or timed out.");
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(64, 'x'));

    UniqueHandle cancel = ManualEvent(false);
    char text[] = "after";
    ASSERT_EQ(PipeTransfer(pipe.get(), cancel.get(), text, 5, true), 5u);
    EXPECT_EQ(ReadExactly(pipe.get(), cancel.get(), 5), "after");
}

// A stock's events are new and unsignalled whenever taken, however many have
// been used and given back: none is reused. It holds a bounded number while it
// runs, and none once stopped. (Handles are counted in the system's table:
// GetProcessHandleCount answers 0 under Wine. Wine may also settle a handle
// of an earlier test's overlapped I/O at any moment, so a leak is told by
// growth over three stocks rather than by one handle.)
TEST(IoEventStock, GivesOnlyNewEventsAndHoldsNoneOnceStopped) {
    const DWORD before = ProcessHandleCount(::GetCurrentProcess());
    for (int round = 0; round < 3; ++round) {
        IoEventStock stock;
        for (std::size_t i = 0; i < 4 * (IoEventStock::kReady + IoEventStock::kUsed); ++i) {
            UniqueHandle event = stock.Take();
            ASSERT_TRUE(event.held());
            EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << i;
            ::SetEvent(event.get());  // as its transfer's completion would
            stock.Retire(std::move(event));
        }
        // The events on either side of the helper, and the helper thread itself.
        EXPECT_LE(ProcessHandleCount(::GetCurrentProcess()), before + IoEventStock::kReady + IoEventStock::kUsed + 2);
        stock.Stop();
    }
    EXPECT_LE(ProcessHandleCount(::GetCurrentProcess()), before + 1);
}
