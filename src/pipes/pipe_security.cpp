#include "pipes/pipe_security.h"

#include "pipes/pipe_path.h"
#include "text/program_error.h"

const std::string& RequireSidText(const std::optional<std::string>& sid) {
    if (!sid) throw ProgramError(kSidTextMessage);
    return *sid;
}

bool IsTrustedPipePrincipal(const std::string& sid, const std::string& identity) {
    return sid == identity || sid == kOwnerRightsSid || sid == kLocalSystemSid || sid == kAdministratorsSid;
}

namespace {

void CheckPipeAce(const AceEntry& ace, const std::string& identity) {
    if (!AppliesToObject(ace) || IsDenyEntry(ace)) return;
    if (!IsAllowEntry(ace)) throw ProgramError(kPipeAceTypeMessage);
    // The SID is read for every allow entry, whatever it grants.
    const std::string& sid = RequireSidText(ace.sid);
    if (GrantsAnyOf(ace, kPipeServerRights) && !IsTrustedPipePrincipal(sid, identity)) {
        throw ProgramError(kPipeServerRightsMessage);
    }
}

// The creator's mandatory label: a sandboxed process cannot give its pipe a
// higher one, however it hands the instance on. A server that hung up after
// the descriptor was read has left nothing to receive or send through this
// handle: the other checks decide as before.
void CheckPipeLabel(const IntegrityLabel& label) {
    if (!label.obtained && !label.pipeDisconnected) throw ProgramError(kPipeSecurityMessage);
    if (label.obtained && !IsAtLeastMediumLabel(label)) throw ProgramError(kPipeIntegrityMessage);
}

}  // namespace

std::string PipeDisplayLabel(const std::string& canonicalPath, const std::string& identity, const AccountName& account,
                             const std::string& currentUserSid) {
    std::string text = account.name;
    if (identity == kLocalSystemSid) {
        // Not the localised name the lookup gives: clients match on it.
        text = "SYSTEM";
    } else if (identity != currentUserSid && !account.domain.empty()) {
        text = account.domain + "\\" + account.name;
    }
    return text + " / " + PipeBaseName(canonicalPath);
}

std::string ExpectedPipeIdentity(const std::string& canonicalPath, const std::string& servedBy) {
    const std::string named = CanonicalPipeSid(canonicalPath);
    return named.empty() ? servedBy : named;
}

std::string VerifyPipeSecurityWith(const std::string& canonicalPath, const std::string& servedBy,
                                   const PipeSecuritySource& source) {
    const std::string identity = ExpectedPipeIdentity(canonicalPath, servedBy);
    if (identity.empty()) return std::string();

    const ObjectSecurity security = source.readSecurity();
    if (!security.obtained || !security.hasOwner || !security.hasDacl) throw ProgramError(kPipeSecurityMessage);
    if (RequireSidText(security.owner) != identity) {
        throw ProgramError(CanonicalPipeSid(canonicalPath).empty() ? kServedByOwnerMessage : kPipeOwnerMessage);
    }
    for (const std::optional<AceEntry>& ace : security.aces) {
        if (!ace) throw ProgramError(kPipeAclMessage);
        CheckPipeAce(*ace, identity);
    }
    CheckPipeLabel(source.readIntegrityLabel());

    const std::optional<AccountName> account = source.lookupOwner();
    if (!account) return std::string();
    return PipeDisplayLabel(ValidatePipePath(canonicalPath), identity, *account, source.currentUserSid());
}

std::string CheckConnectedPipeWith(const std::string& canonicalPath, const std::string& servedBy,
                                   const PipeSecuritySource& source) {
    std::string label = VerifyPipeSecurityWith(canonicalPath, servedBy, source);
    if (!ExpectedPipeIdentity(canonicalPath, servedBy).empty()) return label;

    // The owner is set by whoever created the instance and cannot be forged by
    // another account, unlike the process ID recorded at creation, which may
    // since belong to one of the user's processes.
    // A server that has already hung up leaves nothing to receive or send
    // through this handle; its owner can no longer be read, and the process
    // checks decide as before.
    const ObjectSecurity security = source.readSecurity();
    if (!security.obtained && !security.pipeDisconnected) throw ProgramError(kPipeSecurityMessage);
    if (security.obtained &&
        (!security.hasOwner || !IsOwnOrAdministrativeOwner(RequireSidText(security.owner), source.currentUserSid()))) {
        throw ProgramError(kPlainPipeOwnerMessage);
    }
    // A sandbox of the user owns its pipes as the user; only the label, unlike
    // a process ID, still tells them apart once the creator has gone.
    CheckPipeLabel(source.readIntegrityLabel());

    const ServerAccount server = source.readServerAccount();
    switch (server.step) {
        case ServerAccountStep::NoProcessId:
            throw ProgramError(kNoServerProcessMessage);
        case ServerAccountStep::ProcessNotOpened:
        case ServerAccountStep::TokenNotOpened:
            throw ProgramError(kServerAccountMessage);
        case ServerAccountStep::UserUnreadable:
            throw ProgramError(kServerUserMessage);
        case ServerAccountStep::Read:
            break;
    }
    if (RequireSidText(server.userSid) != source.currentUserSid()) throw ProgramError(kServerUserMessage);
    if (!IsUnsandboxedServer(server)) throw ProgramError(kServerIntegrityMessage);
    // Restricting SIDs confine a token at any integrity level.
    if (!server.restricted || *server.restricted) throw ProgramError(kServerRestrictedMessage);
    return label;
}

void CheckTaskPrincipal(const TaskPrincipalFacts& principal,
                        const std::function<std::optional<std::string>(const WideString& userId)>& resolveUserSid,
                        const std::function<std::string()>& currentUserSid) {
    if (!principal.readAll || principal.runLevel != kTaskRunLevelLua ||
        principal.logonType != kTaskLogonInteractiveToken || principal.userId.empty()) {
        throw ProgramError(kTaskPrincipalMessage);
    }
    const std::optional<std::string> sid = resolveUserSid(principal.userId);
    if (!sid || *sid != currentUserSid()) throw ProgramError(kTaskAccountMessage);
}
