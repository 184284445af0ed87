#pragma once
// The per-user list of pipes a remote client may reach.

#include <string>
#include <string_view>

#include "allowlist/control_file.h"
#include "text/encoding.h"

inline constexpr std::uint64_t kAllowlistSizeLimit = 65536;
inline constexpr const char* kNotAllowlistedMessage = "This named pipe is not in the HTTP allowlist.";

// How the allowlist is opened: read sharing only, so nobody can change it while
// it is read and a writer holding it open makes the check fail.
inline constexpr ControlFileRules kAllowlistRules{
    1,  // FILE_SHARE_READ
    true,
    kAllowlistSizeLimit,
    "Could not open the named pipe allowlist directory.",
    "Could not open the named pipe allowlist.",
    "Named pipe allowlist is too large.",
    "Could not read named pipe allowlist.",
};

// True at the first entry whose canonical form equals `canonicalRequest`.
// Lines end at line feeds and are trimmed of blanks; empty lines and lines
// starting with "#" are skipped. An entry that breaks the pipe grammar before
// the match throws that message; entries after the match are never read.
bool AllowlistContains(std::string_view content, const std::string& canonicalRequest);

// Whether `pipePath` is listed in the allowlist that `ops` opens; false when
// the file or its folder does not exist. Throws ValidatePipePath's
// messages for the request, and the control-file and entry messages.
bool IsPipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops);

// Returns when listed; otherwise throws "This named pipe is not in the HTTP
// allowlist." (or whatever IsPipeAllowlistedWith throws).
void RequirePipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops);

// The same two with the real file system. Windows only.
bool IsPipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath);

void RequirePipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath);
