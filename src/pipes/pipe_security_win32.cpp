#include "pipes/pipe_security_win32.h"

#include <sddl.h>
#include <taskschd.h>

#include <vector>

#include "os/handles_win32.h"
#include "pipes/object_security_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

// The copies in pipe_security.h, held to the names they stand for.
static_assert(kPipeServerRights == (GENERIC_WRITE | GENERIC_ALL | WRITE_OWNER | WRITE_DAC | FILE_CREATE_PIPE_INSTANCE));
static_assert(kTaskRunLevelLua == TASK_RUNLEVEL_LUA);
static_assert(kTaskLogonInteractiveToken == TASK_LOGON_INTERACTIVE_TOKEN);

namespace {

std::string CurrentUserSidText() { return WideToUtf8(CurrentUserSid()); }

// The owner's account for the label; std::nullopt when the lookup fails (the
// label is then empty, never an error).
std::optional<AccountName> LookupOwner(PSID owner) {
    DWORD nameLength = 0;
    DWORD domainLength = 0;
    SID_NAME_USE use{};
    if (::LookupAccountSidW(nullptr, owner, nullptr, &nameLength, nullptr, &domainLength, &use) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || nameLength < 1) {
        return std::nullopt;
    }
    std::vector<wchar_t> name(nameLength, L'\0');
    std::vector<wchar_t> domain(domainLength, L'\0');
    if (!::LookupAccountSidW(nullptr, owner, name.data(), &nameLength, domainLength ? domain.data() : nullptr,
                             &domainLength, &use)) {
        return std::nullopt;
    }
    AccountName account;
    account.name = WideToUtf8(FromWin(name.data()));
    if (domainLength != 0) account.domain = WideToUtf8(FromWin(domain.data()));
    return account;
}

// The last sub-authority of the token's integrity SID; std::nullopt when unreadable.
std::optional<std::uint32_t> TokenIntegrityLevelOf(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);  // reports the size
    std::vector<unsigned char> buffer(size, 0);
    if (size == 0 || !::GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size)) {
        return std::nullopt;
    }
    return IntegrityLevelOfSid(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid);
}

ServerAccount ReadServerAccount(HANDLE pipe) {
    ServerAccount account;
    ULONG processId = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &processId)) return account;
    account.step = ServerAccountStep::ProcessNotOpened;
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return account;
    account.step = ServerAccountStep::TokenNotOpened;
    UniqueHandle token;
    if (!::OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return account;
    account.step = ServerAccountStep::UserUnreadable;
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);  // reports the size
    std::vector<unsigned char> buffer(size, 0);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return account;
    account.step = ServerAccountStep::Read;
    account.userSid = TrySidToString(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
    account.integrityLevel = TokenIntegrityLevelOf(token.get());
    DWORD isAppContainer = 0;
    if (::GetTokenInformation(token.get(), TokenIsAppContainer, &isAppContainer, sizeof(isAppContainer), &size)) {
        account.appContainer = isAppContainer != 0;
    }
    // FALSE means both "no restricting SIDs" and "the query failed": only the
    // error tells them apart. Wine 8 has no restricting SIDs and answers every
    // query of them with ERROR_INVALID_FUNCTION, which Windows never gives for
    // a token open for TOKEN_QUERY.
    ::SetLastError(ERROR_SUCCESS);
    const BOOL restricted = ::IsTokenRestricted(token.get());
    const DWORD error = ::GetLastError();
    if (restricted || error == ERROR_SUCCESS || error == ERROR_INVALID_FUNCTION) {
        account.restricted = restricted != FALSE;
    }
    return account;
}

// The source over one handle; the queried descriptor stays alive in `security`
// for the owner lookup that follows the rules.
PipeSecuritySource SourceFor(HANDLE pipe, QueriedSecurity& security) {
    PipeSecuritySource source;
    source.readSecurity = [pipe, &security] {
        security = QuerySecurity(pipe);
        return DescribeSecurity(security);
    };
    source.readIntegrityLabel = [pipe] { return QueryIntegrityLabel(pipe); };
    source.lookupOwner = [&security] { return LookupOwner(security.owner); };
    source.readServerAccount = [pipe] { return ReadServerAccount(pipe); };
    source.currentUserSid = CurrentUserSidText;
    return source;
}

}  // namespace

std::string CheckConnectedPipe(HANDLE pipe, const std::string& canonicalPath, const std::string& servedBy) {
    QueriedSecurity security;
    return CheckConnectedPipeWith(canonicalPath, servedBy, SourceFor(pipe, security));
}

std::string VerifyPipeSecurity(HANDLE pipe, const std::string& canonicalPath, const std::string& servedBy) {
    QueriedSecurity security;
    return VerifyPipeSecurityWith(canonicalPath, servedBy, SourceFor(pipe, security));
}

std::optional<std::string> ResolveAccountSid(const WideString& userId) {
    PSID parsed = nullptr;
    if (::ConvertStringSidToSidW(WinStr(userId), &parsed)) {
        const UniqueLocalMemory owned(parsed);
        return SidToString(parsed);
    }
    DWORD sidSize = 0;
    DWORD domainLength = 0;
    SID_NAME_USE use{};
    ::LookupAccountNameW(nullptr, WinStr(userId), nullptr, &sidSize, nullptr, &domainLength, &use);
    if (sidSize == 0) return std::nullopt;
    std::vector<unsigned char> sid(sidSize, 0);
    std::vector<wchar_t> domain(domainLength + 1, L'\0');
    if (!::LookupAccountNameW(nullptr, WinStr(userId), sid.data(), &sidSize, domain.data(), &domainLength, &use)) {
        return std::nullopt;
    }
    return SidToString(sid.data());
}
