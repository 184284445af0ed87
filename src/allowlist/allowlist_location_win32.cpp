#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "allowlist/allowlist_location.h"
#include "text/wide_win32.h"

WideString DefaultAllowlistPath() {
    PWSTR folder = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
    std::optional<WideString> localAppData;
    if (SUCCEEDED(hr)) localAppData = FromWin(folder);
    ::CoTaskMemFree(folder);
    return DefaultAllowlistPathUnder(localAppData);
}
