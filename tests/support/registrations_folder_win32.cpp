#include "support/registrations_folder_win32.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

#include "support/temp_folder_win32.h"

RegistrationsFolder::RegistrationsFolder() {
    PWSTR known = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) {
        folder_ = std::wstring(known) + L"\\org.quorlssh";
    }
    ::CoTaskMemFree(known);
}

RegistrationsFolder::~RegistrationsFolder() {
    if (!made_) return;
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(folder_), ignored);
}

bool RegistrationsFolder::Exists() const { return ::GetFileAttributesW(folder_.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RegistrationsFolder::Write(const std::string& content) {
    if (!made_) MakeFolder(folder_);
    made_ = true;
    WriteTestFile(folder_ + L"\\activations.tsv", content);
}
