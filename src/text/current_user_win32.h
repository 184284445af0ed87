#pragma once
// Windows-only text helpers: the last-error rule for BOOL results, and the SID
// text of the user this process runs as.

#include <cstdint>
#include <string_view>

#include "os/windows_only_win32.h"
#include "text/encoding.h"

// Returns when the low 32 bits of `result` are non-zero; otherwise reads
// GetLastError() first and throws `message` + " (Windows error N).". Call it
// directly after the Windows call whose result it checks.
void CheckWin32(std::int64_t result, std::string_view message);

// The SID text ("S-1-5-21-...") of the process token's user. Needs TOKEN_QUERY
// on the own process token. Throws "Could not inspect user" or "Could not read
// user SID" with the Windows error suffix.
WideString CurrentUserSid();
