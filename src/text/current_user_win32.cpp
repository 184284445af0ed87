#include <windows.h>
#include <sddl.h>

#include <vector>

#include "os/handles_win32.h"
#include "text/current_user_win32.h"
#include "text/error_text.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

void CheckWin32(std::int64_t result, std::string_view message) {
    if (static_cast<std::uint32_t>(result) != 0) return;
    const DWORD error = ::GetLastError();
    throw ProgramError(WithWindowsError(message, error));
}

WideString CurrentUserSid() {
    UniqueHandle token;
    CheckWin32(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()), "Could not inspect user");

    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);  // fails: reports the size
    std::vector<unsigned char> buffer(size);
    CheckWin32(::GetTokenInformation(token.get(), TokenUser, size ? buffer.data() : nullptr, size, &size),
               "Could not inspect user");

    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    LPWSTR text = nullptr;
    CheckWin32(::ConvertSidToStringSidW(user->User.Sid, &text), "Could not read user SID");
    UniqueLocalMemory owned(text);
    return FromWin(text);
}
