#pragma once

#include <optional>

#include "text/encoding.h"

inline constexpr const char* kLocalAppDataMessage = "Could not locate local application data.";

// The local application data folder joined with "QuorlSSH\http-pipe.allow".
// Throws "Could not locate local application data." when the folder is unknown.
WideString DefaultAllowlistPath();

// The same under a given folder; std::nullopt (unknown folder) throws
// "Could not locate local application data.".
WideString DefaultAllowlistPathUnder(const std::optional<WideString>& localAppData);

// The folder that holds `file`: the standard parent-path rule (runs of
// separators are one; the root keeps its separator).
WideString AllowlistFolder(const WideString& file);

// `path` made absolute and normalised as the system resolves it when opening
// ("." and ".." components and trailing dots gone); std::nullopt when the
// system cannot. Windows only.
std::optional<WideString> FullPathName(const WideString& path);
