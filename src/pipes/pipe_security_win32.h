#pragma once
// The trust checks of pipe_security.h applied to a real pipe handle.

#include <windows.h>

#include <optional>
#include <string>

#include "os/windows_only_win32.h"
#include "pipes/pipe_security.h"

// Both regimes for an open client handle (READ_CONTROL needed) of
// `canonicalPath`, whose allowlist entry names `servedBy` ("" for none);
// returns the display label or throws the refusal's message. Everything
// obtained on the way is released on every path.
std::string CheckConnectedPipe(HANDLE pipe, const std::string& canonicalPath, const std::string& servedBy);

// The owner/DACL regime alone; "" at once for a pipe without an identity.
std::string VerifyPipeSecurity(HANDLE pipe, const std::string& canonicalPath, const std::string& servedBy);

// The SID text of a task's user id, given as SID text or as an account name;
// std::nullopt when neither resolves. Throws only "Could not inspect pipe identity.".
std::optional<std::string> ResolveAccountSid(const WideString& userId);
