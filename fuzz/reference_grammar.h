#pragma once
// Small reference readings of the program's text grammars, written apart from
// the product's code so that the fuzz targets can hold the two against each
// other: the pipe path and its SID suffix, strict UTF-8, the allowlist lines
// with their served-by clauses, and the activation rows. Each answers with a value or the exact sentence of
// the refusal. Plain, slow and obvious on purpose.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reference {

inline const std::string kPrefixMessage = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";
inline const std::string kAlphabetMessage = "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";
inline const std::string kUtf8Message = "Invalid UTF-8 text.";
inline const std::string kRowMessage = "Invalid row in activations.tsv; expected pipe, tab, task path.";
inline const std::string kControlMessage = "Invalid control character in activations.tsv.";
inline const std::string kTaskMessage = "Task activation requires an absolute task path.";
inline const std::string kDuplicateMessage = "Duplicate named pipe in activations.tsv.";
inline const std::string kTooLargeMessage = "Named pipe allowlist is too large.";
inline const std::string kServedByMessage =
    "Named pipe allowlist entries may only add served-by and a SID such as S-1-5-18 after the pipe path.";
inline const std::string kServedByMismatchMessage =
    "A served-by in the named pipe allowlist must repeat the SID in the pipe name.";
// Not an answer: the outcome turns on a SID form that only the system can judge.
inline const std::string kUndecided = "(undecided)";

// A value or the sentence that refused it.
template <typename T>
struct Result {
    std::optional<T> value;
    std::string error;
};

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerAll(std::string_view text) {
    std::string out;
    for (const char c : text) out += Lower(c);
    return out;
}

inline bool NameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// "\\.\pipe\" in any letter case, 10 to 110 bytes in all, name bytes from the
// alphabet; the canonical form is the whole path lowered.
inline Result<std::string> PipePath(std::string_view path) {
    const std::string prefix = "\\\\.\\pipe\\";
    const std::string lowered = LowerAll(path);
    if (lowered.substr(0, 9) != prefix) return {std::nullopt, kPrefixMessage};
    if (path.size() < 10 || path.size() > 110) return {std::nullopt, kPrefixMessage};
    for (std::size_t i = 9; i < path.size(); ++i) {
        if (!NameByte(path[i])) return {std::nullopt, kAlphabetMessage};
    }
    return {lowered, std::string()};
}

// Where the SID suffix of a canonical path starts (the dot of its last ".s-"),
// when at least one name byte stands before that dot.
inline std::optional<std::size_t> SuffixDot(const std::string& canonical) {
    if (canonical.size() < 3) return std::nullopt;
    for (std::size_t d = canonical.size() - 3 + 1; d-- > 0;) {
        if (canonical.compare(d, 3, ".s-") == 0) {
            if (d < 10) return std::nullopt;
            return d;
        }
    }
    return std::nullopt;
}

inline std::string BaseName(const std::string& canonical) {
    const std::optional<std::size_t> dot = SuffixDot(canonical);
    return canonical.substr(9, (dot ? *dot : canonical.size()) - 9);
}

// What the identity of a suffix must be where the answer is beyond doubt:
// "s-1-", a decimal authority, and 1 to 15 decimal sub-authorities, every
// number without leading zeros and below 2^32, is the standard form and its
// identity is the same text with "S"; a suffix that is not made of dashes and
// digits, or has an empty or zero-led number, or another revision than 1, or
// more than 15 sub-authorities, has none. Forms whose reading depends on how
// the system parses them (a hexadecimal or very large authority, a number of
// 2^32 or more, no sub-authority at all) give std::nullopt: not judged.
inline std::optional<std::string> Identity(const std::string& suffix) {
    if (suffix.size() < 2 || suffix.compare(0, 2, "s-") != 0) return std::string();
    std::vector<std::string> numbers;
    std::string current;
    bool letters = false;
    for (std::size_t i = 2; i < suffix.size(); ++i) {
        const char c = suffix[i];
        if (c == '-') {
            numbers.push_back(current);
            current.clear();
        } else {
            if (c < '0' || c > '9') letters = true;
            current += c;
        }
    }
    numbers.push_back(current);
    // "0x" may start a hexadecimal authority, which the system reads its own way.
    if (letters) {
        if (numbers.size() >= 2 && numbers[1].compare(0, 2, "0x") == 0) return std::nullopt;
        return std::string();
    }
    for (const std::string& n : numbers) {
        if (n.empty()) return std::string();
    }
    if (numbers[0] != "1") {
        // Another revision, or the revision spelled with zeros.
        return std::string();
    }
    for (const std::string& n : numbers) {
        if (n.size() > 1 && n[0] == '0') return std::string();
    }
    for (const std::string& n : numbers) {
        if (n.size() > 10 || (n.size() == 10 && n > "4294967295")) return std::nullopt;
    }
    if (numbers.size() < 2) return std::string();   // no authority
    if (numbers.size() == 2) return std::nullopt;   // no sub-authority
    if (numbers.size() > 17) return std::string();  // more than 15 sub-authorities
    return "S" + suffix.substr(1);
}

// Strict UTF-8 to UTF-16: no stray or missing continuation bytes, no overlong
// form, no encoded surrogate, nothing past U+10FFFF.
inline Result<std::u16string> Utf16(std::string_view text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        std::uint32_t cp;
        std::size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            extra = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            extra = 3;
        } else return {std::nullopt, kUtf8Message};
        if (text.size() - i - 1 < extra) return {std::nullopt, kUtf8Message};
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return {std::nullopt, kUtf8Message};
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return {std::nullopt, kUtf8Message};
        }
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += 1 + extra;
    }
    return {out, std::string()};
}

inline std::vector<std::string_view> SplitLines(std::string_view content) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= content.size(); ++i) {
        if (i == content.size() || content[i] == '\n') {
            lines.push_back(content.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

inline bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline bool Spacing(char c) { return c == ' ' || c == '\t'; }

// One trimmed entry line: its canonical path and its served-by SID ("" for
// none), or the sentence that refuses it.
inline Result<std::pair<std::string, std::string>> Entry(std::string_view line) {
    std::size_t cut = 0;
    while (cut < line.size() && !Spacing(line[cut])) ++cut;
    const Result<std::string> path = PipePath(line.substr(0, cut));
    if (!path.value) return {std::nullopt, path.error};
    std::string_view rest = line.substr(cut);
    if (rest.empty()) return {std::make_pair(*path.value, std::string()), std::string()};
    while (!rest.empty() && Spacing(rest.front())) rest.remove_prefix(1);
    const std::string word = "served-by";
    if (rest.substr(0, word.size()) != word) return {std::nullopt, kServedByMessage};
    rest.remove_prefix(word.size());
    if (rest.empty() || !Spacing(rest.front())) return {std::nullopt, kServedByMessage};
    while (!rest.empty() && Spacing(rest.front())) rest.remove_prefix(1);
    const std::string sid(rest);
    if (sid.compare(0, 4, "S-1-") != 0) return {std::nullopt, kServedByMessage};
    for (std::size_t i = 4; i < sid.size(); ++i) {
        if ((sid[i] < '0' || sid[i] > '9') && sid[i] != '-') return {std::nullopt, kServedByMessage};
    }
    const std::optional<std::string> standard = Identity("s" + sid.substr(1));
    if (!standard) return {std::nullopt, kUndecided};
    if (standard->empty()) return {std::nullopt, kServedByMessage};
    const std::optional<std::size_t> dot = SuffixDot(*path.value);
    if (dot) {
        const std::optional<std::string> named = Identity(path.value->substr(*dot + 1));
        if (!named) return {std::nullopt, kUndecided};
        if (!named->empty() && *named != sid) return {std::nullopt, kServedByMismatchMessage};
    }
    return {std::make_pair(*path.value, sid), std::string()};
}

// The served-by SID ("" for none) of the entry of the allowlist `content` (at
// most 64 KiB) that lists `request`, or an empty optional when none does: the
// request is judged first; lines are trimmed of blanks, empty and "#" lines
// skipped, and the first entry that breaks the grammar before a match refuses.
inline Result<std::optional<std::string>> Listed(std::string_view content, std::string_view request) {
    const Result<std::string> wanted = PipePath(request);
    if (!wanted.value) return {std::nullopt, wanted.error};
    if (content.size() > 65536) return {std::nullopt, kTooLargeMessage};
    for (std::string_view line : SplitLines(content)) {
        while (!line.empty() && Blank(line.front())) line.remove_prefix(1);
        while (!line.empty() && Blank(line.back())) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const Result<std::pair<std::string, std::string>> entry = Entry(line);
        if (!entry.value) return {std::nullopt, entry.error};
        if (entry.value->first == *wanted.value)
            return {std::optional<std::string>(entry.value->second), std::string()};
    }
    return {std::optional<std::string>(), std::string()};
}

using Registrations = std::map<std::string, std::u16string>;

// The activation rows: all of the text UTF-8 first; rows at line feeds, one
// final carriage return dropped, empty rows skipped; pipe, one tab, task.
inline Result<Registrations> Rows(std::string_view content) {
    const Result<std::u16string> whole = Utf16(content);
    if (!whole.value) return {std::nullopt, whole.error};
    Registrations table;
    for (std::string_view row : SplitLines(content)) {
        if (row.empty()) continue;
        if (row.back() == '\r') row.remove_suffix(1);
        if (row.empty()) continue;
        std::vector<std::size_t> tabs;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i] == '\t') tabs.push_back(i);
        }
        if (tabs.size() != 1 || tabs[0] == 0 || tabs[0] == row.size() - 1) return {std::nullopt, kRowMessage};
        const std::size_t tab = tabs[0];
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i != tab && static_cast<unsigned char>(row[i]) < 0x20) return {std::nullopt, kControlMessage};
        }
        const Result<std::string> pipe = PipePath(row.substr(0, tab));
        if (!pipe.value) return {std::nullopt, pipe.error};
        const std::string_view task = row.substr(tab + 1);
        if (task.front() != '\\' || task.back() == '\\') return {std::nullopt, kTaskMessage};
        if (table.count(*pipe.value) != 0) return {std::nullopt, kDuplicateMessage};
        table[*pipe.value] = *Utf16(task).value;
    }
    return {table, std::string()};
}

}  // namespace reference
