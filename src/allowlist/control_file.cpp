#include "allowlist/control_file.h"

#include "text/program_error.h"

bool IsTrustedFilePrincipal(const std::string& sid, const std::string& currentUserSid) {
    return sid == currentUserSid || sid == kLocalSystemSid || sid == kAdministratorsSid;
}

namespace {

void CheckControlAce(const AceEntry& ace, const std::string& currentUserSid) {
    if (!AppliesToObject(ace) || IsDenyEntry(ace)) return;
    // Even a type that would deny is refused: we cannot tell what it does.
    if (!IsAllowEntry(ace)) throw ProgramError(kControlAceTypeMessage);
    if (!GrantsAnyOf(ace, kWriteCapableRights)) return;
    if (!IsTrustedFilePrincipal(RequireSidText(ace.sid), currentUserSid)) throw ProgramError(kControlWritableMessage);
}

constexpr std::uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND

}  // namespace

void VerifyTrustedFile(const std::function<ObjectSecurity()>& readSecurity,
                       const std::function<std::string()>& currentUserSid,
                       const std::function<std::optional<std::uint32_t>()>& attributes) {
    const ObjectSecurity security = readSecurity();
    // A null DACL grants everyone everything.
    if (!security.obtained || !security.hasDacl) throw ProgramError(kControlPermissionsMessage);
    const std::string user = currentUserSid();
    if (!IsTrustedFilePrincipal(RequireSidText(security.owner), user)) throw ProgramError(kControlOwnerMessage);
    for (const std::optional<AceEntry>& ace : security.aces) {
        if (!ace) throw ProgramError(kControlAclMessage);
        CheckControlAce(*ace, user);
    }
    const std::optional<std::uint32_t> attributeBits = attributes();
    if (!attributeBits || (*attributeBits & kReparsePointAttribute) != 0) throw ProgramError(kControlReparseMessage);
}

std::optional<std::string> ReadControlFileWith(const ControlFileRules& rules, const ControlFileOps& ops) {
    const auto verify = [&](ControlObject object) {
        VerifyTrustedFile([&] { return ops.readSecurity(object); }, ops.currentUserSid,
                          [&] { return ops.attributes(object); });
    };

    const std::uint32_t folderError = ops.open(ControlObject::Folder);
    if (folderError == kFileNotFound || folderError == kPathNotFound) return std::nullopt;
    if (folderError != 0) throw ProgramError(rules.folderOpenMessage);
    // The folder first: whoever can add files to it could plant the file later.
    verify(ControlObject::Folder);

    const std::uint32_t fileError = ops.open(ControlObject::File);
    if (fileError == kFileNotFound || (fileError == kPathNotFound && rules.pathNotFoundMeansNoFile)) {
        return std::nullopt;
    }
    if (fileError != 0) throw ProgramError(rules.fileOpenMessage);
    verify(ControlObject::File);

    const std::optional<std::uint64_t> size = ops.fileSize();
    if (!size || *size > rules.sizeLimit) throw ProgramError(rules.sizeMessage);
    std::optional<std::string> content = ops.read(*size);
    if (!content || content->size() != *size) throw ProgramError(rules.readMessage);
    return content;
}
