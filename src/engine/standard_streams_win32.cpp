#include "engine/standard_streams_win32.h"

#include <windows.h>

#include <memory>

#include "os/handles_win32.h"

namespace {

constexpr DWORD kMaxWrite = 1u << 30;

// A real handle to the calling thread. std::thread::native_handle() is a
// pthread_t with mingw's winpthreads, so the handle is taken here, on the
// thread itself, the same way for every compiler.
std::shared_ptr<UniqueHandle> CurrentThreadHandle() {
    HANDLE thread = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                           THREAD_TERMINATE, FALSE, 0)) {
        return nullptr;
    }
    return std::make_shared<UniqueHandle>(thread);
}

}  // namespace

StandardInput WindowsStandardInput() {
    StandardInput input;
    input.attachReader = []() -> std::function<void()> {
        std::shared_ptr<UniqueHandle> thread = CurrentThreadHandle();
        if (!thread) return nullptr;
        // Under Wine this does not interrupt a ReadFile on a stdin pipe (it
        // fails with ERROR_NOT_FOUND); the caller's bounded stop covers that.
        return [thread] { ::CancelSynchronousIo(thread->get()); };
    };
    input.read = [](void* buffer, std::size_t size) -> std::size_t {
        DWORD got = 0;
        const DWORD want = size > kMaxWrite ? kMaxWrite : static_cast<DWORD>(size);
        if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, want, &got, nullptr)) return 0;
        return got;
    };
    return input;
}

StandardOutput WindowsStandardOutput() {
    StandardOutput output;
    output.write = [](const void* data, std::size_t size) -> std::size_t {
        DWORD wrote = 0;
        const DWORD want = size > kMaxWrite ? kMaxWrite : static_cast<DWORD>(size);
        if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), data, want, &wrote, nullptr)) return 0;
        return wrote;
    };
    // CancelIoEx on the handle reaches a synchronous write blocked in another
    // thread; under Wine that write then returns success with the part the
    // pipe took, where CancelSynchronousIo on the thread finds nothing to
    // cancel (ERROR_NOT_FOUND) and the write stays blocked.
    output.cancelWrite = [] { ::CancelIoEx(::GetStdHandle(STD_OUTPUT_HANDLE), nullptr); };
    return output;
}
