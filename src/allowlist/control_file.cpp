#include "allowlist/control_file.h"

#include "os/system_codes.h"
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

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

bool LiesDirectlyIn(const WideString& file, const WideString& folder) {
    std::size_t folderEnd = folder.size();
    while (folderEnd > 0 && IsSeparator(folder[folderEnd - 1])) --folderEnd;  // a root ends in one
    if (folderEnd == 0 || file.size() <= folderEnd + 1) return false;
    if (file.compare(0, folderEnd, folder, 0, folderEnd) != 0 || !IsSeparator(file[folderEnd])) return false;
    for (std::size_t i = folderEnd + 1; i < file.size(); ++i) {
        if (IsSeparator(file[i])) return false;
    }
    return true;
}

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
    if (!attributeBits || (*attributeBits & kReparsePointFileAttribute) != 0)
        throw ProgramError(kControlReparseMessage);
}

std::optional<std::string> ReadControlFileWith(const ControlFileRules& rules, const ControlFileOps& ops) {
    const auto verify = [&](ControlObject object) {
        VerifyTrustedFile([&] { return ops.readSecurity(object); }, ops.currentUserSid,
                          [&] { return ops.attributes(object); });
    };

    const std::uint32_t folderError = ops.open(ControlObject::Folder);
    if (folderError == kErrorFileNotFound || folderError == kErrorPathNotFound) return std::nullopt;
    if (folderError != 0) throw ProgramError(rules.folderOpenMessage);
    // The folder first: whoever can add files to it could plant the file later.
    verify(ControlObject::Folder);

    const std::uint32_t fileError = ops.open(ControlObject::File);
    if (fileError == kErrorFileNotFound || (fileError == kErrorPathNotFound && rules.pathNotFoundMeansNoFile)) {
        return std::nullopt;
    }
    if (fileError != 0) throw ProgramError(rules.fileOpenMessage);
    verify(ControlObject::File);
    // What was checked must be where the file is: the path text alone can name
    // the file as its own folder ("...\\http-pipe.allow\\.").
    const std::optional<WideString> folderPath = ops.finalPath(ControlObject::Folder);
    const std::optional<WideString> filePath = ops.finalPath(ControlObject::File);
    if (!folderPath || !filePath || !LiesDirectlyIn(*filePath, *folderPath)) throw ProgramError(rules.fileOpenMessage);

    const std::optional<std::uint64_t> size = ops.fileSize();
    if (!size || *size > rules.sizeLimit) throw ProgramError(rules.sizeMessage);
    std::optional<std::string> content = ops.read(*size);
    if (!content || content->size() != *size) throw ProgramError(rules.readMessage);
    return content;
}
