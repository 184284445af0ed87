#pragma once
// The client end of a named pipe and the one transfer primitive through which
// every pipe read and write passes. All pipe I/O is overlapped so that a read
// on an idle pipe and a write on a full one can both be abandoned from another
// thread by signalling one cancellation event.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"

inline constexpr DWORD kPipeClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | READ_CONTROL | SYNCHRONIZE;
inline constexpr DWORD kPipeClientFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
inline constexpr DWORD kDefaultPipeWriteTimeoutMs = 30000;

inline constexpr const char* kIoEventMessage = "Could not create I/O event.";
inline constexpr const char* kPipeCancelledMessage = "Pipe operation cancelled or timed out.";
inline constexpr const char* kPipeIoFailedMessage = "Pipe I/O failed";

// Either an open pipe (error 0) or the GetLastError() of the failed open.
struct PipeClientOpen {
    UniqueHandle pipe;
    DWORD error = 0;
};

// Opens the client end of `canonicalPath` for overlapped reads and writes, with
// READ_CONTROL so that its owner and DACL can be read through the same handle;
// the server may identify but not impersonate us. Never throws for the open
// itself; throws "Invalid UTF-8 text." only for a path that is not UTF-8.
PipeClientOpen OpenPipeClient(const std::string& canonicalPath);

// Fresh I/O events made ahead, and used ones closed afterwards, on a helper
// thread: under Wine each of those calls is a round trip to the server, and
// the threads that move the data should not wait for them. Every event is new
// when taken and is closed after its one transfer: none is ever reused. Both
// of its queues are bounded; past a bound, or once stopped, the caller's own
// thread makes or closes the event. The helper is woken when half the events
// made ahead are gone or a batch is used, and otherwise tidies up after
// kTidyAfter, so that a quiet program holds exactly kReady events and no used
// one, and its handle count is the same every time it is looked at.
class IoEventStock {
public:
    static constexpr std::size_t kReady = 32;      // events made ahead, at most
    static constexpr std::size_t kUsed = 64;       // used events waiting to be closed, at most
    static constexpr std::size_t kCloseBatch = 8;  // used events that wake the helper
    static constexpr std::chrono::milliseconds kTidyAfter{20};
    static constexpr DWORD kStopWaitMs = 1000;

    // Starts the helper thread; without one (it could not start), every event
    // is made and closed on the caller's thread.
    IoEventStock();
    ~IoEventStock();
    IoEventStock(const IoEventStock&) = delete;
    IoEventStock& operator=(const IoEventStock&) = delete;

    // A new manual-reset event, unsignalled and never used: one made ahead, or
    // one made now when none is ready. Throws "Could not create I/O event.".
    UniqueHandle Take();
    // Takes an event whose transfer is over (nothing can signal it any more)
    // to be closed; any thread.
    void Retire(UniqueHandle used) noexcept;
    // Signals the helper to stop, waits for it at most kStopWaitMs, and only
    // then closes every event held (a helper still busy past the wait closes
    // them itself as it leaves). Idempotent; Take and Retire still work.
    // Called by the stock's one owner, not by the transfers' threads.
    void Stop() noexcept;

private:
    struct State;
    static void RunHelper(State& state);
    // Shared with the helper, which a stop that had to give up on it leaves running.
    std::shared_ptr<State> state_;
    std::thread helper_;
};

// One overlapped read (write == false) or write of up to `length` bytes, with a
// fresh event and record of its own: the event is taken from `events` and
// given back to it to be closed, or made and closed here without one. Returns
// the count transferred; a read returns 0 at end of stream (the server has
// gone). When `cancelEvent` is signalled, or a write waits longer than
// `writeTimeoutMs`, the operation is cancelled and settled before "Pipe
// operation cancelled or timed out." is thrown. Other failures throw "Pipe I/O
// failed (Windows error N).". The pipe handle stays open and owned by the
// caller in every case.
std::uint32_t PipeTransfer(HANDLE pipe, HANDLE cancelEvent, void* buffer, std::uint32_t length, bool write,
                           DWORD writeTimeoutMs = kDefaultPipeWriteTimeoutMs, IoEventStock* events = nullptr);
