#include "pipes/object_security_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>

#include "text/encoding.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

// The copies in object_security.h, held to the names they stand for.
static_assert(kAccessAllowedAceType == ACCESS_ALLOWED_ACE_TYPE);
static_assert(kAccessDeniedAceType == ACCESS_DENIED_ACE_TYPE);
static_assert(kInheritOnlyAceFlag == INHERIT_ONLY_ACE);
static_assert(kMediumIntegrityLevel == SECURITY_MANDATORY_MEDIUM_RID);

std::optional<std::string> TrySidToString(PSID sid) {
    if (sid == nullptr) return std::nullopt;
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return std::nullopt;
    const UniqueLocalMemory owned(text);
    return WideToUtf8(FromWin(text));
}

std::string SidToString(PSID sid) { return RequireSidText(TrySidToString(sid)); }

QueriedSecurity QuerySecurity(HANDLE object) {
    QueriedSecurity result;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    result.status = ::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &result.owner, nullptr, &result.dacl, nullptr, &descriptor);
    result.descriptor.reset(descriptor);
    if (result.status != ERROR_SUCCESS) {
        result.owner = nullptr;
        result.dacl = nullptr;
    }
    return result;
}

std::optional<std::uint32_t> IntegrityLevelOfSid(PSID sid) {
    static SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
    if (sid == nullptr || !::IsValidSid(sid) || *::GetSidSubAuthorityCount(sid) != 1) return std::nullopt;
    const SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
    for (int i = 0; i < 6; ++i) {
        if (authority->Value[i] != mandatory.Value[i]) return std::nullopt;
    }
    return *::GetSidSubAuthority(sid, 0);
}

IntegrityLabel QueryIntegrityLabel(HANDLE object) {
    IntegrityLabel label;
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetSecurityInfo(object, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                                           nullptr, &sacl, &descriptor);
    const UniqueLocalMemory owned(descriptor);
    label.pipeDisconnected = status == ERROR_PIPE_NOT_CONNECTED;
    if (status != ERROR_SUCCESS) return label;
    label.obtained = true;
    if (sacl == nullptr) return label;
    for (DWORD index = 0; index < sacl->AceCount; ++index) {
        void* raw = nullptr;
        if (!::GetAce(sacl, index, &raw)) {
            label.obtained = false;  // an unreadable label proves nothing
            return label;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        const auto* ace = reinterpret_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(header);
        const std::optional<std::uint32_t> level = IntegrityLevelOfSid(const_cast<DWORD*>(&ace->SidStart));
        if (!level) label.obtained = false;
        label.level = level;
        return label;  // the system obeys the first label that applies
    }
    return label;
}

namespace {

// The SID of an allow entry, only when it lies wholly inside the entry: a
// malformed ACL must not make us read past it.
std::optional<std::string> AllowEntrySid(const ACE_HEADER* header) {
    constexpr std::size_t sidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
    if (header->AceSize < sidOffset + 8) return std::nullopt;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    const std::size_t room = header->AceSize - sidOffset;
    const std::size_t subAuthorities = static_cast<const unsigned char*>(sid)[1];
    if (8 + 4 * subAuthorities > room || !::IsValidSid(sid)) return std::nullopt;
    return TrySidToString(sid);
}

}  // namespace

ObjectSecurity DescribeSecurity(const QueriedSecurity& security) {
    ObjectSecurity plain;
    plain.obtained = security.status == ERROR_SUCCESS;
    plain.pipeDisconnected = security.status == ERROR_PIPE_NOT_CONNECTED;
    plain.hasOwner = security.owner != nullptr;
    plain.hasDacl = security.dacl != nullptr;
    if (plain.hasOwner) plain.owner = TrySidToString(security.owner);
    if (!plain.hasDacl) return plain;
    for (DWORD index = 0; index < security.dacl->AceCount; ++index) {
        void* raw = nullptr;
        if (!::GetAce(security.dacl, index, &raw)) {
            plain.aces.push_back(std::nullopt);  // the rules stop here
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        AceEntry entry;
        entry.type = header->AceType;
        entry.flags = header->AceFlags;
        if (header->AceSize >= sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) {
            entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        }
        if (entry.type == kAccessAllowedAceType) entry.sid = AllowEntrySid(header);
        plain.aces.push_back(std::move(entry));
    }
    return plain;
}
