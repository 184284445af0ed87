#pragma once
// Connecting a stream to a named pipe: the allowlist check, the busy and
// missing-pipe waits with task activation, and the verification of the opened
// pipe. The rules live here over a seam of plain function objects; the Windows
// layer (connect_pipe_win32.h) supplies the real calls, tests a fake clock,
// fake pipes, fake registrations and a fake scheduler.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "allowlist/allowlist.h"
#include "os/system_codes.h"
#include "text/encoding.h"

// Timing of the wait for a pipe, in milliseconds.
inline constexpr std::uint64_t kPipeWaitLimitMs = 5000;
inline constexpr std::uint64_t kActivatedPipeWaitLimitMs = 15000;
inline constexpr std::uint64_t kRegistrationCheckIntervalMs = 250;
inline constexpr std::uint32_t kMissingPipePauseMs = 50;
inline constexpr std::uint32_t kBusyPipeWaitMs = 100;

// The outcome of one open attempt: opened, or the Windows error it failed with.
struct PipeOpenAttempt {
    bool opened = false;
    std::uint32_t error = 0;
};

struct PipeConnectSeam {
    // Milliseconds of a monotonic clock (GetTickCount64).
    std::function<std::uint64_t()> tickCount;
    // Blocks the calling thread (Sleep).
    std::function<void(std::uint32_t milliseconds)> sleep;
    // The allowlist entry that lists the canonical path, std::nullopt when none does.
    std::function<std::optional<AllowlistEntry>(const std::string& canonicalPath)> findAllowlisted;
    // Opens the client end of the pipe and keeps the handle until it is handed
    // over or closed; a failure reports the error read right after the call.
    std::function<PipeOpenAttempt(const std::string& canonicalPath)> open;
    // Waits up to `milliseconds` for a free instance (WaitNamedPipeW); the
    // result does not matter, the next open tells.
    std::function<void(const WideString& pipe, std::uint32_t milliseconds)> waitForInstance;
    // The activation registrations: canonical pipe path to task path.
    std::function<std::map<std::string, WideString>()> loadRegistrations;
    // Starts the task unless it is queued or running; true when it was started.
    std::function<bool(const WideString& taskPath)> activateTask;
    // Verifies who serves the kept handle, held to the identity that the path
    // or else the entry's served-by names; returns the pipe display label.
    std::function<std::string(const std::string& canonicalPath, const std::string& servedBy)> checkConnected;
    // Closes the kept handle after a refused verification.
    std::function<void()> closeOpened;
};

// The sentence for a pipe that cannot be opened, before its Windows error; the
// forwarder puts its two common errors in words.
inline constexpr const char* kPipeUnavailableMessage = "The named pipe app is unavailable";

// Opens and verifies the pipe at `pipePath`; returns its display label, with the
// handle kept by the seam. Waits while the pipe is busy or missing: 5 s, or
// 15 s from the end of the first registration check that finds the pipe
// registered. A handle that fails verification is closed before the error
// leaves. Throws the path, allowlist, registration, activation and
// verification messages, or "The named pipe app is unavailable (Windows error N).".
std::string ConnectPipeWith(std::string_view pipePath, const PipeConnectSeam& seam);
