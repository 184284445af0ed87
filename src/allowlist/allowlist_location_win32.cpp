#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "allowlist/allowlist_location.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

WideString DefaultAllowlistPath() {
    PWSTR folder = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
    if (FAILED(hr)) {
        ::CoTaskMemFree(folder);
        throw ProgramError(kLocalAppDataMessage);
    }
    WideString path = FromWin(folder);
    ::CoTaskMemFree(folder);
    if (!path.empty() && path.back() != u'\\' && path.back() != u'/') path += u'\\';
    return path + u"QuorlSSH\\http-pipe.allow";
}
