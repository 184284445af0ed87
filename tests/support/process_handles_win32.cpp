#include "support/process_handles_win32.h"

#include <winternl.h>

#include <functional>

#include "os/handles_win32.h"

namespace {

// Wine hands out the lowest free handle value, a multiple of 4, so a table
// is dense from the bottom: the probe stops after this many free values in a
// row past the last handle found (each probe is a round trip to wineserver).
constexpr ULONG_PTR kFreeValuesToStop = 1024;
constexpr ULONG_PTR kLastProbedHandle = 0x40000;

// Calls `found` with a duplicate of each handle the process holds.
void ForEachHandle(HANDLE process, const std::function<void(ULONG_PTR, HANDLE)>& found) {
    ULONG_PTR freeInARow = 0;
    for (ULONG_PTR value = 4; value < kLastProbedHandle && freeInARow < kFreeValuesToStop; value += 4) {
        HANDLE copy = nullptr;
        if (::DuplicateHandle(process, reinterpret_cast<HANDLE>(value), ::GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS)) {
            UniqueHandle owned(copy);
            found(value, owned.get());
            freeInARow = 0;
        } else {
            ++freeInARow;
        }
    }
}

using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

std::string TypeName(QueryObject query, HANDLE handle) {
    if (query == nullptr) return "?";
    alignas(8) unsigned char buffer[512];
    ULONG length = 0;
    if (query(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) < 0) return "?";
    const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    std::string name;
    for (USHORT i = 0; i < info->TypeName.Length / sizeof(WCHAR); ++i) name += static_cast<char>(info->TypeName.Buffer[i]);
    return name;
}

}  // namespace

std::map<ULONG_PTR, std::string> HandlesOf(HANDLE process) {
    // Through GetProcAddress: the import library of ntdll is not linked, and
    // `void (*)()` is the one function type every other converts to without a warning.
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto query =
        ntdll ? reinterpret_cast<QueryObject>(reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtQueryObject")))
              : nullptr;
    std::map<ULONG_PTR, std::string> handles;
    ForEachHandle(process, [&](ULONG_PTR value, HANDLE copy) { handles[value] = TypeName(query, copy); });
    return handles;
}
