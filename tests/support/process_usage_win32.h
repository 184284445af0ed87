#pragma once
// What another process holds, read from outside: its threads, handles and
// memory, for tests that look for leaks and growth.

#include <windows.h>

#include <cstdint>

// Threads of the process with this id (a Toolhelp snapshot). Throws
// std::runtime_error when the snapshot cannot be taken.
DWORD ProcessThreadCount(DWORD processId);
// Open handles of the process (from the system's handle table where
// GetProcessHandleCount does not see another process). Throws std::runtime_error on failure.
DWORD ProcessHandleCount(HANDLE process);

struct ProcessMemory {
    std::uint64_t privateBytes = 0;   // PrivateUsage; Wine reports 0 for another process
    std::uint64_t pagefileBytes = 0;  // PagefileUsage: the commit charge, also under Wine
    std::uint64_t workingSetBytes = 0;
    // The committed private memory, from whichever counter the system fills.
    std::uint64_t Committed() const { return privateBytes > pagefileBytes ? privateBytes : pagefileBytes; }
};
// The process's memory counters (GetProcessMemoryInfo). Throws std::runtime_error on failure.
ProcessMemory ProcessMemoryUsage(HANDLE process);
