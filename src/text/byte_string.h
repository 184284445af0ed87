#pragma once
// Locale-independent byte-string helpers shared by the pipe-name and allowlist code.

#include <string>
#include <string_view>

// 'A'..'Z' become 'a'..'z'; every other byte, 0x80 and above included, stays.
std::string AsciiLower(std::string text);

// Removes space, tab, line feed and carriage return at both ends, nothing else
// (a vertical tab, form feed or byte-order mark stays).
std::string TrimAsciiSpace(std::string_view text);
