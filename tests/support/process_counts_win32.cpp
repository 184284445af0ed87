#include "support/process_counts_win32.h"

#include <tlhelp32.h>

#include "os/handles_win32.h"

namespace {

// Wine hands out the lowest free handle value, a multiple of 4; a process of
// this test suite holds a few hundred at most.
constexpr ULONG_PTR kLastProbedHandle = 0x10000;

DWORD ProbeHandles(HANDLE process) {
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < kLastProbedHandle; value += 4) {
        HANDLE copy = nullptr;
        if (::DuplicateHandle(process, reinterpret_cast<HANDLE>(value), ::GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS)) {
            UniqueHandle owned(copy);
            ++count;
        }
    }
    return count;
}

}  // namespace

DWORD HandleCountOf(HANDLE process) {
    DWORD count = 0;
    if (::GetProcessHandleCount(process, &count) && count != 0) return count;
    return ProbeHandles(process);
}

DWORD ThreadCountOf(DWORD processId) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ++count;
    }
    return count;
}
