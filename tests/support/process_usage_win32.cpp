#include "support/process_usage_win32.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "os/handles_win32.h"

DWORD ProcessThreadCount(DWORD processId) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) throw std::runtime_error("CreateToolhelp32Snapshot failed: " + std::to_string(::GetLastError()));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ++count;
    }
    return count;
}

namespace {

// The system's handle table (SystemExtendedHandleInformation, class 64), whose
// layout the SDK headers do not declare.
struct HandleTableEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleTableHeader {
    ULONG_PTR count;
    ULONG_PTR reserved;
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The type index and value of each handle the process with this id holds.
std::vector<HandleTableEntry> HandlesInSystemTable(DWORD processId) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll ? reinterpret_cast<QuerySystemInformation>(
                                   reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtQuerySystemInformation")))
                             : nullptr;
    if (!query) throw std::runtime_error("NtQuerySystemInformation is missing");
    std::vector<unsigned char> table(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status =
            query(kSystemExtendedHandleInformation, table.data(), static_cast<ULONG>(table.size()), &needed);
        if (status == kInfoLengthMismatch) {
            table.resize(std::max<std::size_t>(table.size() * 2, needed + 65536));
            continue;
        }
        if (status < 0) throw std::runtime_error("NtQuerySystemInformation failed: " + std::to_string(status));
        break;
    }
    HandleTableHeader header;
    std::memcpy(&header, table.data(), sizeof header);
    std::vector<HandleTableEntry> held;
    for (ULONG_PTR i = 0; i < header.count; ++i) {
        HandleTableEntry entry;
        std::memcpy(&entry, table.data() + sizeof header + i * sizeof entry, sizeof entry);
        if (entry.processId == processId) held.push_back(entry);
    }
    return held;
}

}  // namespace

DWORD ProcessHandleCount(HANDLE process) {
    DWORD count = 0;
    if (!::GetProcessHandleCount(process, &count)) {
        throw std::runtime_error("GetProcessHandleCount failed: " + std::to_string(::GetLastError()));
    }
    // A live process always holds handles: Wine answers 0 for a process other
    // than the caller, so its handles are counted in the system's table.
    if (count == 0) count = static_cast<DWORD>(HandlesInSystemTable(::GetProcessId(process)).size());
    return count;
}

DWORD OwnHandleCountBesidesSemaphores() {
    const UniqueHandle probe(::CreateSemaphoreW(nullptr, 0, 1, nullptr));
    if (!probe) throw std::runtime_error("CreateSemaphoreW failed: " + std::to_string(::GetLastError()));
    const auto value = reinterpret_cast<ULONG_PTR>(probe.get());
    const std::vector<HandleTableEntry> held = HandlesInSystemTable(::GetCurrentProcessId());
    const auto semaphore =
        std::find_if(held.begin(), held.end(), [&](const auto& entry) { return entry.handleValue == value; });
    if (semaphore == held.end()) throw std::runtime_error("a new semaphore is missing from the handle table");
    return static_cast<DWORD>(std::count_if(held.begin(), held.end(), [&](const auto& entry) {
        return entry.objectTypeIndex != semaphore->objectTypeIndex;
    }));
}

std::uint64_t ProcessCommittedBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        throw std::runtime_error("GetProcessMemoryInfo failed: " + std::to_string(::GetLastError()));
    }
    return std::max<std::uint64_t>(counters.PrivateUsage, counters.PagefileUsage);
}
