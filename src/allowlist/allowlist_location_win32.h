#pragma once
// Where the control files live on the real system.

#include <optional>

#include "os/windows_only_win32.h"
#include "text/encoding.h"

// The user's local application data folder; std::nullopt when the system does
// not know it.
std::optional<WideString> LocalAppData();

// The local application data folder joined with "QuorlSSH\http-pipe.allow".
// Throws "Could not locate local application data." when the folder is unknown.
WideString DefaultAllowlistPath();

// `path` made absolute and normalised as the system resolves it when opening
// ("." and ".." components and trailing dots gone); std::nullopt when the
// system cannot.
std::optional<WideString> FullPathName(const WideString& path);
