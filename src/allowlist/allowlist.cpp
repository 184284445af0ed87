#include "allowlist/allowlist.h"

#include <algorithm>
#include <utility>

#include "pipes/pipe_path.h"
#include "pipes/sid_text.h"
#include "text/byte_string.h"
#include "text/program_error.h"

namespace {

constexpr std::string_view kServedBy = "served-by";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

// "S-1-" and decimal numbers, exactly as the system writes the SID it parses:
// one account, one spelling, so the owner comparison stays a byte comparison.
bool IsStandardSidText(std::string_view text) {
    if (text.substr(0, 4) != "S-1-") return false;
    for (const char c : text.substr(4)) {
        if ((c < '0' || c > '9') && c != '-') return false;
    }
    const std::optional<WideString> standard = StandardSidText(Utf8ToWide(std::string(text)));
    return standard && WideToUtf8(*standard) == text;
}

// The served-by clause after an entry's path ("" for none), checked against
// the identity the path itself carries.
AllowlistEntry ParseClause(std::string_view rest, const std::string& canonicalPath) {
    AllowlistEntry entry;
    if (rest.empty()) return entry;
    rest = SkipBlanks(rest);
    if (rest.substr(0, kServedBy.size()) != kServedBy) throw ProgramError(kServedByMessage);
    rest.remove_prefix(kServedBy.size());
    if (rest.empty() || !IsBlank(rest.front())) throw ProgramError(kServedByMessage);
    rest = SkipBlanks(rest);
    if (!IsStandardSidText(rest)) throw ProgramError(kServedByMessage);
    // Two identities for one pipe would leave it unclear which one is checked.
    const std::string named = CanonicalPipeSid(canonicalPath);
    if (!named.empty() && named != rest) throw ProgramError(kServedByMismatchMessage);
    entry.servedBy = std::string(rest);
    return entry;
}

}  // namespace

AllowlistLine ParseAllowlistLine(std::string_view line) {
    const std::size_t pathEnd = std::min(line.find_first_of(" \t"), line.size());
    AllowlistLine parsed;
    parsed.path = ValidatePipePath(line.substr(0, pathEnd));
    parsed.entry = ParseClause(line.substr(pathEnd), parsed.path);
    return parsed;
}

std::string AllowlistLineText(const AllowlistLine& line) {
    if (line.entry.servedBy.empty()) return line.path;
    return line.path + " " + std::string(kServedBy) + " " + line.entry.servedBy;
}

std::vector<std::string> AllowlistEntryLines(std::string_view content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= content.size()) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
        std::string line = TrimAsciiSpace(content.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<AllowlistEntry> FindAllowlistEntry(std::string_view content, const std::string& canonicalRequest) {
    for (const std::string& line : AllowlistEntryLines(content)) {
        AllowlistLine parsed = ParseAllowlistLine(line);
        if (parsed.path == canonicalRequest) return std::move(parsed.entry);
    }
    return std::nullopt;
}

std::optional<AllowlistEntry> FindPipeInAllowlistWith(std::string_view pipePath, const ControlFileOps& ops) {
    // A bad request fails before any file is touched.
    const std::string request = ValidatePipePath(pipePath);
    const std::optional<std::string> content = ReadControlFileWith(kAllowlistRules, ops);
    if (!content) return std::nullopt;
    return FindAllowlistEntry(*content, request);
}

bool IsPipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops) {
    return FindPipeInAllowlistWith(pipePath, ops).has_value();
}

void RequirePipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops) {
    if (!IsPipeAllowlistedWith(pipePath, ops)) throw ProgramError(kNotAllowlistedMessage);
}
