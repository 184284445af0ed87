#pragma once
// Strict conversions between the program's UTF-8 byte strings and the UTF-16
// that Windows calls take. Lengths are explicit: an embedded NUL is content.

#include <string>
#include <string_view>

using WideString = std::u16string;
using WideView = std::u16string_view;

// Throws "Invalid UTF-8 text." for a stray continuation byte, a truncated
// sequence, an overlong form, an encoded surrogate or a value past U+10FFFF.
WideString Utf8ToWide(std::string_view text);

// Throws "Invalid Unicode text." for an unpaired surrogate.
std::string WideToUtf8(WideView text);

inline constexpr const char* kInvalidUtf8Message = "Invalid UTF-8 text.";
inline constexpr const char* kInvalidUnicodeMessage = "Invalid Unicode text.";
