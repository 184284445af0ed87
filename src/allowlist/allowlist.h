#pragma once
// The per-user list of pipes a remote client may reach.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "allowlist/control_file.h"
#include "text/encoding.h"

inline constexpr std::uint64_t kAllowlistSizeLimit = 65536;
inline constexpr const char* kNotAllowlistedMessage = "This named pipe is not in the HTTP allowlist.";
inline constexpr const char* kServedByMessage =
    "Named pipe allowlist entries may only add served-by and a SID such as S-1-5-18 after the pipe path.";
inline constexpr const char* kServedByMismatchMessage =
    "A served-by in the named pipe allowlist must repeat the SID in the pipe name.";

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

// The entry that lists a pipe. An entry may name the account that serves its
// pipe: "\\.\pipe\name served-by S-1-5-18". The pipe is then held to that
// identity as if its name carried the SID.
struct AllowlistEntry {
    std::string servedBy;  // SID text in the system's standard form; "" without served-by
};

// One entry as written on an allowlist line (already trimmed, not a comment):
// its canonical pipe path and served-by clause. Throws ValidatePipePath's
// messages and the served-by ones.
struct AllowlistLine {
    std::string path;
    AllowlistEntry entry;
};
AllowlistLine ParseAllowlistLine(std::string_view line);

// The canonical text of an entry: "PATH" or "PATH served-by SID".
std::string AllowlistLineText(const AllowlistLine& line);

// The entry lines of an allowlist: lines end at line feeds and are trimmed of
// blanks; empty lines and lines starting with "#" are skipped.
std::vector<std::string> AllowlistEntryLines(std::string_view content);

// The first entry whose canonical path equals `canonicalRequest`; std::nullopt
// when none does. An entry is a pipe path,
// optionally followed by blanks, "served-by", blanks and a SID text. An entry
// that breaks this grammar before the match throws its message; entries after
// the match are never read.
std::optional<AllowlistEntry> FindAllowlistEntry(std::string_view content, const std::string& canonicalRequest);

// The entry listing `pipePath` in the allowlist that `ops` opens; std::nullopt
// when none does or the file or its folder does not exist. Throws
// ValidatePipePath's messages for the request, and the control-file and entry
// messages.
std::optional<AllowlistEntry> FindPipeInAllowlistWith(std::string_view pipePath, const ControlFileOps& ops);

// Whether FindPipeInAllowlistWith finds an entry.
bool IsPipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops);

// Returns when listed; otherwise throws "This named pipe is not in the HTTP
// allowlist." (or whatever IsPipeAllowlistedWith throws).
void RequirePipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops);
