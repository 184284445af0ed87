#include "allowlist/allowlist.h"

#include "allowlist/allowlist_location.h"
#include "pipes/pipe_path.h"
#include "text/program_error.h"

bool IsPipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    const std::string request = ValidatePipePath(pipePath);
    const std::optional<std::string> content =
        ReadControlFile(AllowlistFolder(allowlistPath), allowlistPath, kAllowlistRules);
    return content && AllowlistContains(*content, request);
}

void RequirePipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    if (!IsPipeAllowlisted(pipePath, allowlistPath)) throw ProgramError(kNotAllowlistedMessage);
}
