#pragma once
// A child program with its standard streams on pipes, for end-to-end tests.
// Every wait is bounded; a child still running at destruction is terminated.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <condition_variable>

#include "os/handles_win32.h"

// Folder of the running test program (the build folder, where the product lies).
std::wstring TestProgramFolder();
// The product built beside the tests.
std::wstring ProductPath();

class ChildProcess {
public:
    // Starts `program` with `arguments` (each quoted). Throws std::runtime_error on failure.
    // With `closableOutput`, CloseOutputReader can later take the reader of the
    // child's standard output away while the child runs.
    ChildProcess(const std::wstring& program, const std::vector<std::wstring>& arguments, bool closableOutput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes all bytes to the child's standard input; false when the pipe is closed.
    bool Write(const void* data, std::size_t size);
    bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
    void CloseInput() { stdinWrite_.reset(); }
    // Stops reading the child's standard output and closes our read end, so
    // that the child's next write to it fails. Output not yet taken is kept.
    // Only for a child started with `closableOutput`; idempotent.
    void CloseOutputReader();

    // Waits until at least `size` bytes of standard output have arrived (or the
    // stream ended, or the time-out passed) and takes up to `size` of them.
    std::string ReadOutput(std::size_t size, std::uint32_t timeoutMs);
    // Waits up to `timeoutMs` for standard output and takes all that has come
    // (empty after a time-out or at its end; see OutputEnded).
    std::string TakeOutput(std::uint32_t timeoutMs);
    bool OutputEnded();
    // Waits for the process to end; returns its exit code, or STILL_ACTIVE on time-out.
    DWORD Wait(std::uint32_t timeoutMs);
    // Everything on standard output / error so far (after Wait: everything).
    std::string TakeAllOutput() { return TakeOutput(0); }
    std::string Errors();
    HANDLE Process() const { return process_.get(); }
    DWORD Id() const { return ::GetProcessId(process_.get()); }

private:
    void Pump(HANDLE from, std::string& into, bool& ended);

    UniqueHandle process_;
    UniqueHandle stdinWrite_;
    UniqueHandle stdoutRead_;
    UniqueHandle stderrRead_;
    // A write end of the child's standard output kept by us, only to wake the
    // output pump: a synchronous read of an anonymous pipe cannot be cancelled
    // under Wine.
    UniqueHandle stdoutWake_;
    bool stopOutput_ = false;  // guarded by mutex_
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool outEnded_ = false;
    bool errEnded_ = false;
    std::thread outThread_;
    std::thread errThread_;
};
