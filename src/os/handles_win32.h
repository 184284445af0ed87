#pragma once
// The owner types of every Windows resource the program holds. Releasing never
// changes the thread's last-error value, so an owner going out of scope between
// a failed call and GetLastError() cannot corrupt the reported error.

#include <windows.h>

#include "os/unique_resource.h"

namespace win32_detail {

class PreserveLastError {
public:
    PreserveLastError() noexcept : saved_(::GetLastError()) {}
    ~PreserveLastError() { ::SetLastError(saved_); }
    PreserveLastError(const PreserveLastError&) = delete;
    PreserveLastError& operator=(const PreserveLastError&) = delete;

private:
    DWORD saved_;
};

// A kernel handle is held when it is neither null nor INVALID_HANDLE_VALUE.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        ::CloseHandle(v);
    }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        ::LocalFree(v);
    }
};

}  // namespace win32_detail

using UniqueHandle = UniqueResource<win32_detail::KernelHandleTraits>;
using UniqueLocalMemory = UniqueResource<win32_detail::LocalMemoryTraits>;

// Memory the system returned with LocalAlloc semantics, typed for the caller.
template <typename T>
T* LocalAs(const UniqueLocalMemory& memory) noexcept {
    return static_cast<T*>(memory.get());
}
