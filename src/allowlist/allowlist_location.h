#pragma once

#include <optional>

#include "text/encoding.h"

inline constexpr const char* kLocalAppDataMessage = "Could not locate local application data.";

// `localAppData` joined with "QuorlSSH\http-pipe.allow"; std::nullopt (the
// folder is unknown) throws "Could not locate local application data.".
WideString DefaultAllowlistPathUnder(const std::optional<WideString>& localAppData);

// The folder that holds `file`: the standard parent-path rule (runs of
// separators are one; the root keeps its separator).
WideString AllowlistFolder(const WideString& file);
