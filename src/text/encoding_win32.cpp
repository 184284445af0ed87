#include <windows.h>

#include <climits>

#include "text/encoding.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

int CheckedLength(std::size_t size) {
    // Both conversions take 32-bit counts; a longer text cannot be a program text.
    if (size > static_cast<std::size_t>(INT_MAX)) throw std::length_error("text too long");
    return static_cast<int>(size);
}

}  // namespace

WideString Utf8ToWide(std::string_view text) {
    if (text.empty()) return {};
    const int in = CheckedLength(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in, nullptr, 0);
    if (needed == 0) throw ProgramError(kInvalidUtf8Message);
    WideString out(static_cast<std::size_t>(needed), u'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in, reinterpret_cast<wchar_t*>(out.data()),
                          needed);
    return out;
}

std::string WideToUtf8(WideView text) {
    if (text.empty()) return {};
    const int in = CheckedLength(text.size());
    const auto* source = reinterpret_cast<const wchar_t*>(text.data());
    const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, source, in, nullptr, 0, nullptr, nullptr);
    if (needed == 0) throw ProgramError(kInvalidUnicodeMessage);
    std::string out(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, source, in, out.data(), needed, nullptr, nullptr);
    return out;
}
