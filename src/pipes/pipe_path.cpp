#include "pipes/pipe_path.h"

#include "text/byte_string.h"
#include "text/program_error.h"

namespace {

constexpr std::size_t kMinPathLength = 10;
constexpr std::size_t kMaxPathLength = 110;

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
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
