#pragma once
// Who serves a connected pipe: the rules over plain data. A pipe with an
// identity (the canonical one of its name, else the one its allowlist entry
// names after served-by) trusts the pipe object's owner, DACL and integrity
// label; any other pipe trusts the pipe's owner and label, then the serving
// process's user, integrity level, AppContainer state and restriction.
// pipe_security_win32.cpp feeds the rules from the real handle.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pipes/object_security.h"
#include "text/encoding.h"

// GENERIC_WRITE | GENERIC_ALL | WRITE_OWNER | WRITE_DAC | FILE_CREATE_PIPE_INSTANCE:
// rights that let their holder serve the pipe or change who it belongs to.
inline constexpr std::uint32_t kPipeServerRights = 0x500C0004;

inline constexpr const char* kNoServerProcessMessage = "Could not identify the pipe server.";
inline constexpr const char* kServerAccountMessage = "Could not verify the pipe server account.";
inline constexpr const char* kServerUserMessage =
    "Named pipes without a canonical identity must run as the current user.";
inline constexpr const char* kPlainPipeOwnerMessage =
    "Named pipes without a canonical identity must be owned by the current user.";
inline constexpr const char* kServerIntegrityMessage =
    "Named pipes without a canonical identity must run at medium integrity or higher, outside an AppContainer.";
inline constexpr const char* kServerRestrictedMessage =
    "Named pipes without a canonical identity must not run with a restricted token.";
inline constexpr const char* kPipeIntegrityMessage = "The named pipe integrity label is below medium.";
inline constexpr const char* kPipeSecurityMessage = "Could not verify named pipe ownership and permissions.";
inline constexpr const char* kPipeOwnerMessage = "The named pipe owner does not match the SID in its name.";
inline constexpr const char* kServedByOwnerMessage =
    "The named pipe owner does not match the served-by SID in the allowlist.";
inline constexpr const char* kPipeAclMessage = "Invalid named pipe ACL.";
inline constexpr const char* kPipeAceTypeMessage = "Unsupported named pipe ACL; its identity cannot be verified.";
inline constexpr const char* kPipeServerRightsMessage =
    "The named pipe allows another principal to create servers or change its identity.";
inline constexpr const char* kTaskPrincipalMessage =
    "Named pipe activation requires a non-elevated interactive task for the current user.";
inline constexpr const char* kTaskAccountMessage = "Named pipe activation cannot run a task as another account.";

struct AccountName {
    std::string name;
    std::string domain;  // empty when the lookup gave no domain
};

// How far reading the serving process's user got.
enum class ServerAccountStep { NoProcessId, ProcessNotOpened, TokenNotOpened, UserUnreadable, Read };

struct ServerAccount {
    ServerAccountStep step = ServerAccountStep::NoProcessId;
    std::optional<std::string> userSid;  // when Read: the token user's SID text, std::nullopt if not convertible
    // When Read: the token's integrity level, whether it is an AppContainer
    // token and whether it holds restricting SIDs; std::nullopt where the
    // query failed.
    std::optional<std::uint32_t> integrityLevel;
    std::optional<bool> appContainer;
    std::optional<bool> restricted;
};

// A token that may serve a pipe without a canonical identity: both facts read,
// medium or higher, and not an AppContainer (whose level says nothing of its
// confinement).
inline bool IsUnsandboxedServer(const ServerAccount& server) {
    return server.integrityLevel && IsAtLeastMediumIntegrity(*server.integrityLevel) && server.appContainer &&
           !*server.appContainer;
}

// The owners a legitimate server of the user gives a pipe: the user, or the
// Administrators group (the default owner of an elevated token), or LocalSystem.
inline bool IsOwnOrAdministrativeOwner(const std::string& owner, const std::string& currentUserSid) {
    return owner == currentUserSid || owner == kAdministratorsSid || owner == kLocalSystemSid;
}

// What the checks ask of the system, each asked only when the rules need it.
struct PipeSecuritySource {
    std::function<ObjectSecurity()> readSecurity;
    std::function<IntegrityLabel()> readIntegrityLabel;
    std::function<std::optional<AccountName>()> lookupOwner;  // std::nullopt: lookup failed
    std::function<ServerAccount()> readServerAccount;
    std::function<std::string()> currentUserSid;
};

// True for the identity itself and for Owner Rights, LocalSystem and Administrators.
bool IsTrustedPipePrincipal(const std::string& sid, const std::string& identity);

// The identity that must serve a pipe: the SID its name carries, else the SID
// its allowlist entry names after served-by (`servedBy`, "" for none).
std::string ExpectedPipeIdentity(const std::string& canonicalPath, const std::string& servedBy);

// The owner/DACL regime for that identity; returns the display label ("" for
// a pipe without an identity, which is not checked here).
std::string VerifyPipeSecurityWith(const std::string& canonicalPath, const std::string& servedBy,
                                   const PipeSecuritySource& source);

// Both regimes; returns the display label. Throws the refusal's message.
std::string CheckConnectedPipeWith(const std::string& canonicalPath, const std::string& servedBy,
                                   const PipeSecuritySource& source);

// "account / base name" for a pipe whose identity is `identity`: "SYSTEM" for
// LocalSystem, "domain\name" for another account with a domain, else the name.
std::string PipeDisplayLabel(const std::string& canonicalPath, const std::string& identity, const AccountName& account,
                             const std::string& currentUserSid);

// What was read from a scheduled task's principal.
struct TaskPrincipalFacts {
    bool readAll = false;  // a principal was given and run level, logon type and user id were all read
    int runLevel = 1;
    int logonType = 0;
    WideString userId;
};

inline constexpr int kTaskRunLevelLua = 0;            // TASK_RUNLEVEL_LUA
inline constexpr int kTaskLogonInteractiveToken = 3;  // TASK_LOGON_INTERACTIVE_TOKEN

// Returns when the task runs non-elevated, with the interactive token, as the
// current user; `resolveUserSid` turns the user id (SID text or account name)
// into SID text, std::nullopt when it cannot.
void CheckTaskPrincipal(const TaskPrincipalFacts& principal,
                        const std::function<std::optional<std::string>(const WideString& userId)>& resolveUserSid,
                        const std::function<std::string()>& currentUserSid);
