#pragma once
// Folders and files in the test's temporary folder, removed with everything in
// them when the owner goes.

#include <windows.h>

#include <string>
#include <vector>

#include "os/handles_win32.h"

class TempFolder {
public:
    // A new folder "qsb-test-<pid>-<n>-<tag>" in the temporary folder.
    explicit TempFolder(const std::wstring& tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Creates `path` as a folder. Throws std::runtime_error.
void MakeFolder(const std::wstring& path);
// Creates or replaces the file `path` holding `bytes`. Throws std::runtime_error.
void WriteTestFile(const std::wstring& path, const std::string& bytes);
// The bytes of the file `path`; empty when it cannot be read.
std::string ReadTestFile(const std::wstring& path);

// The user's allowlist file "QuorlSSH\http-pipe.allow" in a temporary folder of
// its own; the folder is made at once, the file only when it is given pipes
// (one per line).
class AllowlistFile {
public:
    explicit AllowlistFile(const std::vector<std::string>& pipes = {});
    const std::wstring& Path() const { return file_; }

private:
    TempFolder root_{L"allow"};
    std::wstring folder_ = root_.Path() + L"\\QuorlSSH";
    std::wstring file_ = folder_ + L"\\http-pipe.allow";
};
