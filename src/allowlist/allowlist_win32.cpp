#include "allowlist/allowlist.h"

#include "allowlist/allowlist_location.h"
#include "pipes/pipe_path.h"
#include "text/program_error.h"

bool IsPipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    const std::string request = ValidatePipePath(pipePath);
    // The folder is derived from the path the system will open, not from the
    // text given: "...\\http-pipe.allow\\." opens the file itself.
    const std::optional<WideString> file = FullPathName(allowlistPath);
    if (!file) throw ProgramError(kAllowlistRules.fileOpenMessage);
    const std::optional<std::string> content = ReadControlFile(AllowlistFolder(*file), *file, kAllowlistRules);
    return content && AllowlistContains(*content, request);
}

void RequirePipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    if (!IsPipeAllowlisted(pipePath, allowlistPath)) throw ProgramError(kNotAllowlistedMessage);
}
