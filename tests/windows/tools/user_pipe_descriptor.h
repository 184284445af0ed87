#pragma once
// The descriptor Windows gives a pipe that a non-elevated server of the user
// creates without one, as SDDL. Wine gives such a pipe no owner at all, so the
// program's checks would see a pipe no real server ever makes; and Wine's
// token owner is a group (S-1-5-21-0-0-0-513), not the user Windows makes the
// default owner. Empty when the user's SID cannot be read.

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "os/handles_win32.h"

inline std::wstring UserPipeSddl() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size, 0);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    const UniqueLocalMemory owned(text);
    const std::wstring owner = text;
    return L"O:" + owner + L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + owner + L")(A;;FR;;;WD)";
}
