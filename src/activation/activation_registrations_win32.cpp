#include "activation/activation_registrations_win32.h"

#include "allowlist/allowlist_location_win32.h"
#include "allowlist/control_file_win32.h"
#include "text/program_error.h"

static_assert(kActivationRules.fileShare == (FILE_SHARE_READ | FILE_SHARE_DELETE));

ActivationRegistrations LoadActivationRegistrations() {
    const ActivationLocation location = ActivationPaths(LocalAppData());
    const std::optional<WideString> folder = FullPathName(location.folder);
    const std::optional<WideString> file = FullPathName(location.file);
    if (!folder || !file) throw ProgramError(kActivationRules.fileOpenMessage);
    const std::optional<std::string> content = ReadControlFile(*folder, *file, kActivationRules);
    if (!content) return ActivationRegistrations();
    return ParseActivationRegistrations(*content);
}
