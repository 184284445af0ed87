#pragma once
// The owner types of every Windows resource the program holds. Releasing never
// changes the thread's last-error value, so an owner going out of scope between
// a failed call and GetLastError() cannot corrupt the reported error.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winhttp.h>

#include "os/unique_resource.h"
#include "os/windows_only_win32.h"

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

// A COM interface pointer: one reference, released once.
template <typename Interface>
struct ComTraits {
    using Value = Interface*;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        v->Release();
    }
};

// Memory the system returned with CoTaskMemAlloc semantics (known folder paths).
struct CoTaskMemoryTraits {
    using Value = void*;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        ::CoTaskMemFree(v);
    }
};

// An OLE Automation string from SysAllocString.
struct BstrTraits {
    using Value = BSTR;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        ::SysFreeString(v);
    }
};

// The thread's share of a COM apartment. Held (true) only when this scope's own
// CoInitializeEx succeeded: COM is uninitialised only by the call that
// initialised it, so a thread that already had another apartment keeps it.
struct ComApartmentTraits {
    using Value = bool;
    static Value None() noexcept { return false; }
    static bool IsHeld(Value v) noexcept { return v; }
    static void Release(Value) noexcept {
        PreserveLastError keep;
        ::CoUninitialize();
    }
};

// A WinHTTP session, connection or request handle.
struct WinHttpHandleTraits {
    using Value = HINTERNET;
    static Value None() noexcept { return nullptr; }
    static bool IsHeld(Value v) noexcept { return v != nullptr; }
    static void Release(Value v) noexcept {
        PreserveLastError keep;
        ::WinHttpCloseHandle(v);
    }
};

}  // namespace win32_detail

using UniqueHandle = UniqueResource<win32_detail::KernelHandleTraits>;
using UniqueLocalMemory = UniqueResource<win32_detail::LocalMemoryTraits>;
using UniqueCoTaskMemory = UniqueResource<win32_detail::CoTaskMemoryTraits>;
template <typename Interface>
using UniqueCom = UniqueResource<win32_detail::ComTraits<Interface>>;
using UniqueBstr = UniqueResource<win32_detail::BstrTraits>;
using UniqueComApartment = UniqueResource<win32_detail::ComApartmentTraits>;
using UniqueWinHttpHandle = UniqueResource<win32_detail::WinHttpHandleTraits>;

// Memory the system returned with LocalAlloc semantics, typed for the caller.
template <typename T>
T* LocalAs(const UniqueLocalMemory& memory) noexcept {
    return static_cast<T*>(memory.get());
}
