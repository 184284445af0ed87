#pragma once
// The allowlist checks of allowlist.h with the real file system.

#include <optional>
#include <string_view>

#include "allowlist/allowlist.h"
#include "os/windows_only_win32.h"
#include "text/encoding.h"

std::optional<AllowlistEntry> FindPipeInAllowlist(std::string_view pipePath, const WideString& allowlistPath);

bool IsPipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath);

void RequirePipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath);
