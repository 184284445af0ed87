#include "allowlist/allowlist.h"

#include <algorithm>

#include "pipes/pipe_path.h"
#include "text/byte_string.h"
#include "text/program_error.h"

bool AllowlistContains(std::string_view content, const std::string& canonicalRequest) {
    std::size_t start = 0;
    while (start <= content.size()) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
        const std::string line = TrimAsciiSpace(content.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        if (ValidatePipePath(line) == canonicalRequest) return true;
    }
    return false;
}

bool IsPipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops) {
    // A bad request fails before any file is touched.
    const std::string request = ValidatePipePath(pipePath);
    const std::optional<std::string> content = ReadControlFileWith(kAllowlistRules, ops);
    return content && AllowlistContains(*content, request);
}

void RequirePipeAllowlistedWith(std::string_view pipePath, const ControlFileOps& ops) {
    if (!IsPipeAllowlistedWith(pipePath, ops)) throw ProgramError(kNotAllowlistedMessage);
}
