#include "allowlist/allowlist_win32.h"

#include "allowlist/allowlist_location.h"
#include "allowlist/allowlist_location_win32.h"
#include "allowlist/control_file_win32.h"
#include "pipes/pipe_path.h"
#include "text/program_error.h"

static_assert(kAllowlistRules.fileShare == FILE_SHARE_READ);

std::optional<AllowlistEntry> FindPipeInAllowlist(std::string_view pipePath, const WideString& allowlistPath) {
    const std::string request = ValidatePipePath(pipePath);
    // The folder is derived from the path the system will open, not from the
    // text given: "...\\http-pipe.allow\\." opens the file itself.
    const std::optional<WideString> file = FullPathName(allowlistPath);
    if (!file) throw ProgramError(kAllowlistRules.fileOpenMessage);
    const std::optional<std::string> content = ReadControlFile(AllowlistFolder(*file), *file, kAllowlistRules);
    if (!content) return std::nullopt;
    return FindAllowlistEntry(*content, request);
}

bool IsPipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    return FindPipeInAllowlist(pipePath, allowlistPath).has_value();
}

void RequirePipeAllowlisted(std::string_view pipePath, const WideString& allowlistPath) {
    if (!IsPipeAllowlisted(pipePath, allowlistPath)) throw ProgramError(kNotAllowlistedMessage);
}
