#include "pipes/pipe_io_win32.h"

#include "text/encoding.h"
#include "text/error_text.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

PipeClientOpen OpenPipeClient(const std::string& canonicalPath) {
    const WideString path = Utf8ToWide(canonicalPath);
    PipeClientOpen result;
    result.pipe.reset(::CreateFileW(WinStr(path),
                                    kPipeClientAccess,
                                    0,  // no sharing
                                    nullptr,
                                    OPEN_EXISTING,
                                    kPipeClientFlags,
                                    nullptr));
    if (!result.pipe) result.error = ::GetLastError();
    return result;
}

namespace {

bool IsEndOfStream(DWORD error) { return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED; }

std::uint32_t FailedTransfer(DWORD error, bool write) {
    if (!write && IsEndOfStream(error)) return 0;
    throw ProgramError(WithWindowsError(kPipeIoFailedMessage, error));
}

}  // namespace

std::uint32_t PipeTransfer(HANDLE pipe, HANDLE cancelEvent, void* buffer, std::uint32_t length, bool write,
                           DWORD writeTimeoutMs) {
    // One event and one record per call: the pump's read and the engine's write
    // on the same handle must never share completion state, and CancelIoEx with
    // this record cancels this call's operation only.
    UniqueHandle ioEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent) throw ProgramError(kIoEventMessage);
    OVERLAPPED record{};
    record.hEvent = ioEvent.get();

    DWORD count = 0;
    const BOOL done = write ? ::WriteFile(pipe, buffer, length, &count, &record)
                            : ::ReadFile(pipe, buffer, length, &count, &record);
    if (done) return count;
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return FailedTransfer(error, write);

    // The I/O event comes first: when both are signalled the finished transfer wins.
    const HANDLE waitFor[2] = {ioEvent.get(), cancelEvent};
    const DWORD waited = ::WaitForMultipleObjects(2, waitFor, FALSE, write ? writeTimeoutMs : INFINITE);
    if (waited != WAIT_OBJECT_0) {
        // The record and the buffer must outlive the operation: settle it before leaving.
        ::CancelIoEx(pipe, &record);
        DWORD settled = 0;
        ::GetOverlappedResult(pipe, &record, &settled, TRUE);
        throw ProgramError(kPipeCancelledMessage);
    }
    if (::GetOverlappedResult(pipe, &record, &count, FALSE)) return count;
    return FailedTransfer(::GetLastError(), write);
}
