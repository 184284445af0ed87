#include "pipes/object_security_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>

#include "text/encoding.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

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
    result.status = ::GetSecurityInfo(object,
                                      SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &result.owner,
                                      nullptr,
                                      &result.dacl,
                                      nullptr,
                                      &descriptor);
    result.descriptor.reset(descriptor);
    if (result.status != ERROR_SUCCESS) {
        result.owner = nullptr;
        result.dacl = nullptr;
    }
    return result;
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
