#pragma once
// The Windows values the portable core decides on, copied from the Windows
// headers so that the core builds without them. Each is pinned to its header's
// name in system_codes_win32.cpp, so a wrong copy does not build.

#include <cstdint>

// Errors of opening a pipe or file.
inline constexpr std::uint32_t kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kErrorSemTimeout = 121;  // ERROR_SEM_TIMEOUT
inline constexpr std::uint32_t kErrorPipeBusy = 231;    // ERROR_PIPE_BUSY

inline constexpr std::uint32_t kDirectoryFileAttribute = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
inline constexpr std::uint32_t kReparsePointFileAttribute = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

// The states of a registered task in which it will run or runs.
inline constexpr std::int32_t kTaskStateQueued = 2;   // TASK_STATE_QUEUED
inline constexpr std::int32_t kTaskStateRunning = 4;  // TASK_STATE_RUNNING
