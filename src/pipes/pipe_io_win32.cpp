#include "pipes/pipe_io_win32.h"

#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "os/wait_lock.h"
#include "text/encoding.h"
#include "text/error_text.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

PipeClientOpen OpenPipeClient(const std::string& canonicalPath) {
    const WideString path = Utf8ToWide(canonicalPath);
    PipeClientOpen result;
    result.pipe.reset(::CreateFileW(WinStr(path), kPipeClientAccess,
                                    0,  // no sharing
                                    nullptr, OPEN_EXISTING, kPipeClientFlags, nullptr));
    if (!result.pipe) result.error = ::GetLastError();
    return result;
}

namespace {

// Manual reset, unsignalled, unnamed: one transfer's completion event.
HANDLE CreateIoEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

UniqueHandle NewIoEvent() {
    UniqueHandle event(CreateIoEvent());
    if (!event) throw ProgramError(kIoEventMessage);
    return event;
}

}  // namespace

struct IoEventStock::State {
    WaitLock lock;
    // Both reserved at their bound, so that adding never allocates.
    std::vector<UniqueHandle> ready;  // made, never used
    std::vector<UniqueHandle> used;   // transfers over, to be closed
    bool stopping = false;            // set once: from now on the callers make and close
    bool resting = false;             // the helper waits to be woken...
    bool tidy = false;                // ...with everything in order, for as long as that lasts
    bool helperGone = false;
    bool makingFailed = false;  // the helper makes no more; Take reports the failure

    // Worth waking the helper for at once: half the events taken, or a batch used.
    bool Urgent() const {
        return stopping || used.size() >= kCloseBatch || (!makingFailed && ready.size() <= kReady / 2);
    }
    bool Untidy() const { return !used.empty() || (!makingFailed && ready.size() < kReady); }
    // With the lock held, after a take or a give-back.
    void WakeHelperIfDue() {
        if (resting && (tidy || Urgent())) lock.NotifyAll();
    }
};

IoEventStock::IoEventStock() : state_(std::make_shared<State>()) {
    state_->ready.reserve(kReady);
    state_->used.reserve(kUsed);
    try {
        helper_ = std::thread([state = state_] { RunHelper(*state); });
    } catch (const std::system_error&) {
        state_->stopping = true;  // no helper: every event is made and closed where it is used
    }
}

IoEventStock::~IoEventStock() { Stop(); }

void IoEventStock::RunHelper(State& state) {
    std::vector<UniqueHandle> closing;
    closing.reserve(kUsed);
    std::vector<UniqueHandle> made;
    made.reserve(kReady);
    std::unique_lock<WaitLock> hold(state.lock);
    // Short of the marks the helper tidies up once the queues have been
    // untidy for a while: woken for every transfer it would cost a thread
    // switch each time, and at rest it always holds kReady and nothing used.
    std::optional<WaitLock::Clock::time_point> tidyAt;
    for (;;) {
        if (!state.stopping && !state.Urgent()) {
            state.resting = true;
            if (!state.Untidy()) {
                state.tidy = true;
                state.lock.Wait([&] { return state.Untidy() || state.stopping; });
                state.tidy = false;
                tidyAt = WaitLock::Clock::now() + kTidyAfter;
            } else {
                if (!tidyAt) tidyAt = WaitLock::Clock::now() + kTidyAfter;
                state.lock.WaitUntil(*tidyAt, [&] { return state.Urgent(); });
            }
            state.resting = false;
            if (!state.stopping && !state.Urgent() && WaitLock::Clock::now() < *tidyAt) continue;
        }
        tidyAt.reset();
        if (state.stopping) break;
        closing.swap(state.used);
        const std::size_t missing = state.makingFailed ? 0 : kReady - state.ready.size();
        // The system calls are made without the lock: the transfers' threads
        // take and give back events meanwhile.
        hold.unlock();
        closing.clear();
        for (std::size_t i = 0; i < missing; ++i) {
            UniqueHandle event(CreateIoEvent());
            if (!event) break;
            made.push_back(std::move(event));
        }
        hold.lock();
        if (made.size() < missing) state.makingFailed = true;
        if (state.stopping) break;
        // Takes only shrink the queue meanwhile: everything made fits.
        for (UniqueHandle& event : made) state.ready.push_back(std::move(event));
        made.clear();
    }
    state.helperGone = true;
    state.lock.NotifyAll();
    hold.unlock();
    // Made after Stop had emptied the queues: closed here.
    made.clear();
}

UniqueHandle IoEventStock::Take() {
    {
        std::lock_guard<WaitLock> hold(state_->lock);
        if (!state_->ready.empty()) {
            UniqueHandle event = std::move(state_->ready.back());
            state_->ready.pop_back();
            state_->WakeHelperIfDue();
            return event;
        }
    }
    // None ready (the helper is behind, or stopped): the transfer does not wait for it.
    return NewIoEvent();
}

void IoEventStock::Retire(UniqueHandle used) noexcept {
    if (!used) return;
    {
        std::lock_guard<WaitLock> hold(state_->lock);
        if (!state_->stopping && state_->used.size() < kUsed) {
            state_->used.push_back(std::move(used));
            state_->WakeHelperIfDue();
            return;
        }
    }
    // Past the bound, or stopped: closed here, outside the lock.
}

void IoEventStock::Stop() noexcept {
    {
        std::lock_guard<WaitLock> hold(state_->lock);
        state_->stopping = true;
        state_->lock.NotifyAll();
    }
    if (helper_.joinable()) {
        bool gone = false;
        {
            std::lock_guard<WaitLock> hold(state_->lock);
            gone = state_->lock.WaitUntil(WaitLock::Clock::now() + std::chrono::milliseconds(kStopWaitMs),
                                          [&] { return state_->helperGone; });
        }
        // A helper held in a system call past the wait keeps its share of the
        // state and ends on its own; the events it is making it closes itself.
        if (gone) helper_.join();
        else helper_.detach();
    }
    std::vector<UniqueHandle> ready;
    std::vector<UniqueHandle> used;
    {
        std::lock_guard<WaitLock> hold(state_->lock);
        ready.swap(state_->ready);
        used.swap(state_->used);
    }
    // Closed here, outside the lock.
}

namespace {

bool IsEndOfStream(DWORD error) { return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED; }

std::uint32_t FailedTransfer(DWORD error, bool write) {
    if (!write && IsEndOfStream(error)) return 0;
    throw ProgramError(WithWindowsError(kPipeIoFailedMessage, error));
}

}  // namespace

std::uint32_t PipeTransfer(HANDLE pipe, HANDLE cancelEvent, void* buffer, std::uint32_t length, bool write,
                           DWORD writeTimeoutMs, IoEventStock* events) {
    // One new event and one record per call: the pump's read and the engine's
    // write on the same handle must never share completion state, and
    // CancelIoEx with this record cancels this call's operation only.
    struct IoEvent {
        IoEventStock* events;
        UniqueHandle handle;
        // Every exit below comes after the operation is over (done at once,
        // failed, completed or settled): nothing signals the event any more.
        ~IoEvent() {
            if (events) events->Retire(std::move(handle));
        }
    } ioEvent{events, events ? events->Take() : NewIoEvent()};
    OVERLAPPED record{};
    record.hEvent = ioEvent.handle.get();

    DWORD count = 0;
    const BOOL done =
        write ? ::WriteFile(pipe, buffer, length, &count, &record) : ::ReadFile(pipe, buffer, length, &count, &record);
    if (done) return count;
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return FailedTransfer(error, write);

    // The I/O event comes first: when both are signalled the finished transfer wins.
    const HANDLE waitFor[2] = {ioEvent.handle.get(), cancelEvent};
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
