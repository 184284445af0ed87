#pragma once
// Helpers for the setup tests under Wine: the staging directories that exist
// now, reading a directory's DACL as SDDL, and whether a task exists.

#include <windows.h>

#include <set>
#include <string>

#include "text/encoding.h"

// Full paths of every "QuorlTholm-Setup-*" entry in the temporary folder and
// in common application data.
std::set<std::wstring> StagingDirectoriesNow();

// The DACL of `path` as SDDL ("D:..."), or "(unreadable)".
std::wstring DaclAsSddl(const std::wstring& path);

// Whether a task of that name exists in Task Scheduler's root folder; throws
// std::runtime_error when Task Scheduler cannot be asked.
bool RootTaskExists(const std::wstring& name);

// The bytes of a file, or throws std::runtime_error.
std::string ReadWholeFile(const std::wstring& path);

// Writes all of `bytes` to `file`, or throws std::runtime_error.
void WriteAll(HANDLE file, const std::string& bytes);

inline std::wstring AsWstring(const WideString& text) { return std::wstring(text.begin(), text.end()); }
