#include "terminal_text.h"

namespace {

// How many bytes the UTF-8 sequence at `at` takes, or 0 when it is not a
// valid one: no overlong forms, surrogates or code points past U+10FFFF.
std::size_t SequenceLength(std::string_view bytes, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        if (lead == 0xC2) low = 0xA0;  // U+0080 to U+009F are the C1 controls
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() - at < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string ForTerminal(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        std::size_t length = c < 0x80 ? (c == '\t' || (c >= 0x20 && c != 0x7f) ? 1 : 0) : SequenceLength(bytes, at);
        if (length == 0) {
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 0xf];
            ++at;
            continue;
        }
        shown.append(bytes.substr(at, length));
        at += length;
    }
    return shown;
}
