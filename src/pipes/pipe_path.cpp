#include "pipes/pipe_path.h"

#include "pipes/sid_text.h"
#include "text/byte_string.h"
#include "text/encoding.h"
#include "text/program_error.h"

namespace {

constexpr std::size_t kMinPathLength = 10;
constexpr std::size_t kMaxPathLength = 110;

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// Index of the dot that starts the last ".s-" of a canonical path, when that
// dot leaves at least one name byte before it; npos otherwise.
std::size_t SidSuffixDot(std::string_view canonical) {
    const std::size_t dot = canonical.rfind(".s-");
    if (dot == std::string_view::npos || dot < kPipePrefix.size() + 1) return std::string_view::npos;
    return dot;
}

}  // namespace

std::string ValidatePipePath(std::string_view path) {
    const std::string lowered = AsciiLower(std::string(path));
    if (lowered.size() < kPipePrefix.size() || lowered.compare(0, kPipePrefix.size(), kPipePrefix) != 0) {
        throw ProgramError(kPipePrefixMessage);
    }
    if (path.size() < kMinPathLength || path.size() > kMaxPathLength) throw ProgramError(kPipePrefixMessage);
    for (char c : path.substr(kPipePrefix.size())) {
        if (!IsNameByte(c)) throw ProgramError(kPipeAlphabetMessage);
    }
    return lowered;
}

std::string CanonicalPipeSid(std::string_view path) {
    const std::string canonical = ValidatePipePath(path);
    const std::size_t dot = SidSuffixDot(canonical);
    if (dot == std::string::npos) return std::string();
    const std::string suffix = canonical.substr(dot + 1);
    WideString text = Utf8ToWide(suffix);
    text[0] = u'S';
    const std::optional<WideString> standard = StandardSidText(text);
    if (!standard) return std::string();
    std::string identity = WideToUtf8(*standard);
    // Only the form the system itself writes counts: leading zeros, other
    // spellings of a number and the like would give one account many names.
    if (AsciiLower(identity) != suffix) return std::string();
    return identity;
}

std::string PipeBaseName(std::string_view canonicalPath) {
    const std::size_t dot = SidSuffixDot(canonicalPath);
    const std::size_t end = dot == std::string_view::npos ? canonicalPath.size() : dot;
    return std::string(canonicalPath.substr(kPipePrefix.size(), end - kPipePrefix.size()));
}

std::string ProductPipeNameFor(std::string_view sidText) {
    std::string path(kProductPipePrefix);
    path.append(sidText);
    return ValidatePipePath(path);
}
