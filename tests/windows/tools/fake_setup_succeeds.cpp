// Stands in for the product's installer in setup tests. Exits 0 only when it
// was started the way the setup starts an installer: its own path quoted,
// then exactly the silent switches, with its own folder as the working
// directory. Any difference gives exit code 2, which the setup reports as a
// failed installer.

#include <windows.h>

#include <cwchar>

int main() {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 2;

    wchar_t expected[2 * MAX_PATH];
    std::swprintf(expected, 2 * MAX_PATH, L"\"%ls\" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-", self);
    if (std::wcscmp(::GetCommandLineW(), expected) != 0) return 2;

    wchar_t folder[MAX_PATH];
    const DWORD folderLength = ::GetCurrentDirectoryW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH) return 2;
    const wchar_t* lastSeparator = std::wcsrchr(self, L'\\');
    if (lastSeparator == nullptr) return 2;
    const std::size_t selfFolderLength = static_cast<std::size_t>(lastSeparator - self);
    if (folderLength != selfFolderLength || ::_wcsnicmp(folder, self, selfFolderLength) != 0) return 2;
    return 0;
}
