#pragma once
// The one grammar of pipe paths and their canonical form.

#include <string>
#include <string_view>

inline constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";
inline constexpr const char* kPipePrefixMessage = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";
inline constexpr const char* kPipeAlphabetMessage =
    "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";

// "\\.\pipe\" (any letter case) and 1 to 101 bytes of letters, digits, dot,
// hyphen and underscore; returns the path with every ASCII letter lowered.
std::string ValidatePipePath(std::string_view path);

// The canonical identity of a path: the SID text named by its last ".s-"
// suffix (when that dot stands at index 10 or later) in the exact standard form
// the system writes, with an upper-case "S". Empty when there is none or the
// suffix is not spelled in that form. Throws only the ValidatePipePath messages.
std::string CanonicalPipeSid(std::string_view path);

// The part of a canonical path's name shown in display labels: the name up to
// the dot of its last ".s-" (when that dot stands at index 10 or later), else
// the whole name.
std::string PipeBaseName(std::string_view canonicalPath);

inline constexpr std::string_view kProductPipePrefix = "\\\\.\\pipe\\org.quorltholm.QuorlTholm.";

// The companion product's pipe for the account whose SID text is `sidText`.
// Throws the ValidatePipePath messages (a SID text over 75 bytes is too long).
std::string ProductPipeNameFor(std::string_view sidText);
