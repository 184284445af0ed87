#include "allowlist/allowlist_location_win32.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

#include "allowlist/allowlist_location.h"
#include "os/handles_win32.h"
#include "text/wide_win32.h"

std::optional<WideString> LocalAppData() {
    UniqueCoTaskMemory folder;
    const HRESULT hr =
        ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put()));
    if (FAILED(hr)) return std::nullopt;
    return FromWin(static_cast<const wchar_t*>(folder.get()));
}

WideString DefaultAllowlistPath() { return DefaultAllowlistPathUnder(LocalAppData()); }

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
