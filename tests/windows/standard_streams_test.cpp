// The program's standard output on Windows: a write blocked on a full pipe
// ends when it is cancelled from another thread, which is how the program
// gives up a client that has stopped reading.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/standard_streams_win32.h"
#include "os/handles_win32.h"

TEST(StandardOutput, ACancelEndsAWriteBlockedOnAFullPipe) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    UniqueHandle reader(readEnd);
    const UniqueHandle writer(writeEnd);
    struct Restore {
        HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ~Restore() { ::SetStdHandle(STD_OUTPUT_HANDLE, saved); }
    } restore;
    ASSERT_TRUE(::SetStdHandle(STD_OUTPUT_HANDLE, writeEnd));

    const StandardOutput output = WindowsStandardOutput();
    const std::string frames(1 << 20, 'x');  // far more than the pipe holds: the write blocks
    std::atomic<bool> returned{false};
    std::size_t wrote = 0;
    std::thread writing([&] {
        wrote = output.write(frames.data(), frames.size());
        returned = true;
    });
    // A cancel reaches only a write already in progress: repeat it, as the
    // engine does, until the write has returned.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!returned && std::chrono::steady_clock::now() < giveUp) {
        output.cancelWrite();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool cancelled = returned;
    reader.reset();  // a write the cancel missed fails now, so the thread can end
    writing.join();
    EXPECT_TRUE(cancelled);
    EXPECT_LT(wrote, frames.size());  // nothing, or the part the pipe took (Wine)
}
