#pragma once
// The client end of a named pipe and the one transfer primitive through which
// every pipe read and write passes. All pipe I/O is overlapped so that a read
// on an idle pipe and a write on a full one can both be abandoned from another
// thread by signalling one cancellation event.

#include <windows.h>

#include <cstdint>
#include <string>

#include "os/handles_win32.h"

inline constexpr DWORD kPipeClientAccess = 0x00120003;  // FILE_READ_DATA | FILE_WRITE_DATA | READ_CONTROL | SYNCHRONIZE
inline constexpr DWORD kPipeClientFlags = 0x40110000;   // OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION
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

// One overlapped read (write == false) or write of up to `length` bytes, with a
// fresh event and record of its own. Returns the count transferred; a read
// returns 0 at end of stream (the server has gone). When `cancelEvent` is
// signalled, or a write waits longer than `writeTimeoutMs`, the operation is
// cancelled and settled before "Pipe operation cancelled or timed out." is
// thrown. Other failures throw "Pipe I/O failed (Windows error N).". The pipe
// handle stays open and owned by the caller in every case.
std::uint32_t PipeTransfer(HANDLE pipe, HANDLE cancelEvent, void* buffer, std::uint32_t length, bool write,
                           DWORD writeTimeoutMs = kDefaultPipeWriteTimeoutMs);
