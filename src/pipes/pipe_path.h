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
