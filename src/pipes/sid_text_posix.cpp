// SID text for the native build. Accepts what the system accepts in a text
// that starts with "S-" (revision 1, a decimal identifier authority, 1 to 15
// decimal sub-authorities, leading zeros allowed) and writes the standard form
// back. Identifier authorities written in hexadecimal are refused outright:
// nothing here needs them, and refusing only ever costs a pipe its canonical
// identity.

#include "pipes/sid_text.h"

#include <cstdint>
#include <string>

namespace {

constexpr std::size_t kMaxSubAuthorities = 15;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a run of decimal digits at `pos` whose value fits in 32 bits.
bool ReadNumber(const WideString& text, std::size_t& pos, std::uint32_t& value) {
    const std::size_t start = pos;
    std::uint64_t v = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        v = v * 10 + (text[pos] - u'0');
        if (v > 0xFFFFFFFFull) return false;
        ++pos;
    }
    if (pos == start) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

void AppendNumber(WideString& out, std::uint32_t value) {
    for (char c : std::to_string(value)) out.push_back(static_cast<char16_t>(c));
}

}  // namespace

std::optional<WideString> StandardSidText(const WideString& text) {
    if (text.size() < 2 || (text[0] != u'S' && text[0] != u's') || text[1] != u'-') return std::nullopt;
    std::size_t pos = 2;
    std::uint32_t revision = 0;
    std::uint32_t authority = 0;
    if (!ReadNumber(text, pos, revision) || revision != 1) return std::nullopt;
    if (pos >= text.size() || text[pos] != u'-') return std::nullopt;
    ++pos;
    if (!ReadNumber(text, pos, authority)) return std::nullopt;

    WideString standard = u"S-1-";
    AppendNumber(standard, authority);
    std::size_t count = 0;
    while (pos < text.size()) {
        std::uint32_t sub = 0;
        if (text[pos] != u'-') return std::nullopt;
        ++pos;
        if (!ReadNumber(text, pos, sub) || ++count > kMaxSubAuthorities) return std::nullopt;
        standard.push_back(u'-');
        AppendNumber(standard, sub);
    }
    if (count == 0) return std::nullopt;
    return standard;
}
