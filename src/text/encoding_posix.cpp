// The conversions for builds that run off Windows (the native tests and tools).
// They accept and refuse exactly what MultiByteToWideChar with
// MB_ERR_INVALID_CHARS and WideCharToMultiByte with WC_ERR_INVALID_CHARS do for
// CP_UTF8; the same tests run against both.

#include "text/encoding.h"

#include <cstdint>

#include "text/program_error.h"

WideString Utf8ToWide(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p++;
        if (lead < 0x80) {
            out.push_back(lead);
            continue;
        }
        std::uint32_t cp = 0;
        int extra = 0;
        std::uint32_t min = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            cp = lead & 0x1F, extra = 1, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            cp = lead & 0x0F, extra = 2, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            cp = lead & 0x07, extra = 3, min = 0x10000;
        } else {
            throw ProgramError(kInvalidUtf8Message);
        }
        if (end - p < extra) throw ProgramError(kInvalidUtf8Message);
        for (int i = 0; i < extra; ++i) {
            const unsigned char next = *p++;
            if ((next & 0xC0) != 0x80) throw ProgramError(kInvalidUtf8Message);
            cp = (cp << 6) | (next & 0x3F);
        }
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        if (cp < min || surrogate || cp > 0x10FFFF) throw ProgramError(kInvalidUtf8Message);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string WideToUtf8(WideView text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                throw ProgramError(kInvalidUnicodeMessage);
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            throw ProgramError(kInvalidUnicodeMessage);
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}
