#include "activation/activation_registrations.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "allowlist/allowlist_location.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

std::optional<WideString> LocalAppData() {
    PWSTR folder = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
    std::optional<WideString> path;
    if (SUCCEEDED(hr)) path = FromWin(folder);
    ::CoTaskMemFree(folder);
    return path;
}

}  // namespace

ActivationRegistrations LoadActivationRegistrations() {
    const ActivationLocation location = ActivationPaths(LocalAppData());
    const std::optional<WideString> folder = FullPathName(location.folder);
    const std::optional<WideString> file = FullPathName(location.file);
    if (!folder || !file) throw ProgramError(kActivationRules.fileOpenMessage);
    const std::optional<std::string> content = ReadControlFile(*folder, *file, kActivationRules);
    if (!content) return ActivationRegistrations();
    return ParseActivationRegistrations(*content);
}
