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
// This process's open handles other than semaphores: Wine gives a critical
// section its semaphore the first time the section is contended, in whatever
// thread and at whatever moment, so a count that must not move leaves them out.
DWORD OwnHandleCountBesidesSemaphores();

// The process's committed private memory (GetProcessMemoryInfo): PrivateUsage,
// or PagefileUsage where the system leaves that 0 (Wine, for another process).
// Throws std::runtime_error on failure.
std::uint64_t ProcessCommittedBytes(HANDLE process);
