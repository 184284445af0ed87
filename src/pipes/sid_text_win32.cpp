#include <windows.h>
#include <sddl.h>

#include "os/handles_win32.h"
#include "pipes/sid_text.h"
#include "text/wide_win32.h"

std::optional<WideString> StandardSidText(const WideString& text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(WinStr(text), &sid)) return std::nullopt;
    const UniqueLocalMemory ownedSid(sid);
    if (!::IsValidSid(sid)) return std::nullopt;
    LPWSTR standard = nullptr;
    if (!::ConvertSidToStringSidW(sid, &standard)) return std::nullopt;
    const UniqueLocalMemory ownedText(standard);
    return FromWin(standard);
}
