#include "support/child_process_win32.h"

#include <chrono>
#include <stdexcept>

std::wstring TestProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L"\\/"));
}

std::wstring ProductPath() { return TestProgramFolder() + L"\\quorl-socket-bridge.exe"; }

namespace {

// Quoted for CommandLineToArgvW: no argument of the tests holds a quote or
// ends in a backslash, so no backslash needs doubling.
std::wstring QuoteArgument(const std::wstring& argument) { return L"\"" + argument + L"\""; }

void MakePipe(UniqueHandle& ourEnd, UniqueHandle& childEnd, bool childReads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &inherit, 1 << 16)) throw std::runtime_error("CreatePipe failed");
    UniqueHandle r(read), w(write);
    ourEnd = childReads ? std::move(w) : std::move(r);
    childEnd = childReads ? std::move(r) : std::move(w);
    ::SetHandleInformation(ourEnd.get(), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

ChildProcess::ChildProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                           bool closableOutput) {
    UniqueHandle childIn, childOut, childErr;
    MakePipe(stdinWrite_, childIn, true);
    MakePipe(stdoutRead_, childOut, false);
    MakePipe(stderrRead_, childErr, false);
    if (closableOutput) {
        HANDLE wake = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), childOut.get(), ::GetCurrentProcess(), &wake, 0, FALSE,
                               DUPLICATE_SAME_ACCESS)) {
            throw std::runtime_error("DuplicateHandle failed");
        }
        stdoutWake_.reset(wake);
    }

    std::wstring commandLine = QuoteArgument(program);
    for (const auto& argument : arguments) commandLine += L" " + QuoteArgument(argument);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = childErr.get();
    PROCESS_INFORMATION info{};
    // Wine now and then answers ERROR_INTERNAL_ERROR to a start made while the
    // previous test's programs are still being torn down; a second try works.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        std::wstring line = commandLine;  // CreateProcessW may write into it
        started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &info) != FALSE;
        if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    if (!started) throw std::runtime_error("CreateProcessW failed: " + std::to_string(::GetLastError()));
    process_.reset(info.hProcess);
    UniqueHandle thread(info.hThread);
    outThread_ = std::thread([this] { Pump(stdoutRead_.get(), out_, outEnded_); });
    errThread_ = std::thread([this] { Pump(stderrRead_.get(), err_, errEnded_); });
}

ChildProcess::~ChildProcess() {
    CloseInput();
    // Our own write end would keep the output pump from ever seeing the end.
    if (stdoutWake_) CloseOutputReader();
    if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_.get(), 99);
        ::WaitForSingleObject(process_.get(), 10000);
    }
    // The pumps end when the child's ends of the pipes are gone.
    if (outThread_.joinable()) outThread_.join();
    if (errThread_.joinable()) errThread_.join();
}

void ChildProcess::Pump(HANDLE from, std::string& into, bool& ended) {
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(from, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        // The bytes that woke a pump being stopped are not the child's.
        if (&into == &out_ && stopOutput_) break;
        into.append(buffer, got);
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended = true;
    changed_.notify_all();
}

bool ChildProcess::Write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(size > (1u << 20) ? (1u << 20) : size);
        if (!::WriteFile(stdinWrite_.get(), p, chunk, &wrote, nullptr) || wrote == 0) return false;
        p += wrote;
        size -= wrote;
    }
    return true;
}

void ChildProcess::CloseOutputReader() {
    if (!stdoutWake_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopOutput_ = true;
    }
    // One byte ends the pump's blocked read; it sees the stop and goes. The
    // byte is written from its own thread: with the pipe full and the pump
    // gone, the write would block until our read end is closed.
    const HANDLE wake = stdoutWake_.get();
    std::thread waker([wake] {
        DWORD wrote = 0;
        ::WriteFile(wake, "", 1, &wrote, nullptr);
    });
    if (outThread_.joinable()) outThread_.join();
    stdoutRead_.reset();
    waker.join();
    stdoutWake_.reset();
}

std::string ChildProcess::ReadOutput(std::size_t size, std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return out_.size() >= size || outEnded_; });
    const std::size_t take = out_.size() < size ? out_.size() : size;
    std::string result = out_.substr(0, take);
    out_.erase(0, take);
    return result;
}

std::string ChildProcess::TakeOutput(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !out_.empty() || outEnded_; });
    return std::exchange(out_, std::string());
}

bool ChildProcess::OutputEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outEnded_ && out_.empty();
}

DWORD ChildProcess::Wait(std::uint32_t timeoutMs) {
    if (::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return outEnded_ && errEnded_; });
    return code;
}

std::string ChildProcess::Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}
