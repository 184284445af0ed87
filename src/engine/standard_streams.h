#pragma once
// How the engine reaches the process's standard input and output. The product
// fills these with the Windows calls (standard_streams_win32.cpp); tests fill
// them with in-memory fakes, so that the reader, the output gate and the loop
// run natively under the sanitizers.

#include <cstddef>
#include <functional>

struct StandardInput {
    // Called once on the reader thread before its first read. Returns what
    // cancels that thread's blocked read when called from another thread
    // (an empty function when the read cannot be cancelled).
    std::function<std::function<void()>()> attachReader;
    // One synchronous read of up to `size` bytes: the count read, or 0 at end
    // of input or on failure.
    std::function<std::size_t(void* buffer, std::size_t size)> read;
};

struct StandardOutput {
    // One synchronous write of up to `size` bytes: the count written, or 0
    // when the write failed or made no progress.
    std::function<std::size_t(const void* data, std::size_t size)> write;
    // Called from another thread: ends a write that is blocked in progress
    // (it returns at once, having written part or nothing). A write that has
    // not begun yet is not affected. Empty when writes cannot be cancelled.
    std::function<void()> cancelWrite;
};

// Tells whether the writer's stream is being closed. An empty function means a
// writer that is never cancelled (the engine thread).
using CancelCheck = std::function<bool()>;
