#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

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

std::optional<WideString> FullPathName(const WideString& path) {
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            ::GetFullPathNameW(WinStr(path), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) return FromWin(buffer.data(), length);
        buffer.assign(length, L'\0');  // the length needed, with its terminator
    }
    return std::nullopt;
}
