#include "setup/setup_staging.h"

#include "setup/setup_constants.h"
#include "setup/setup_task.h"

WideString SetupRunName(const WideString& identifier) { return Utf8ToWide(kSetupNamePrefix) + identifier; }

bool IsSetupRunName(const WideString& name) {
    const WideString prefix = Utf8ToWide(kSetupNamePrefix);
    constexpr std::size_t kGuidLength = 38;
    if (name.size() != prefix.size() + kGuidLength || name.compare(0, prefix.size(), prefix) != 0) return false;
    const WideString guid = name.substr(prefix.size());
    if (guid.front() != u'{' || guid.back() != u'}') return false;
    for (std::size_t i = 1; i + 1 < kGuidLength; ++i) {
        const char16_t c = guid[i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        const bool digit = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !digit) return false;
    }
    return true;
}

bool IsStaleSetupStaging(std::uint64_t created, std::uint64_t now) {
    constexpr std::uint64_t kDeadline100ns = kSetupTaskDeadlineMs * 10000;
    return created <= now && now - created >= kDeadline100ns;
}

WideString JoinSetupPath(const WideString& root, const WideString& name) {
    if (!root.empty() && (root.back() == u'\\' || root.back() == u'/')) return root + name;
    return root + u"\\" + name;
}

WideString SetupStagingSddl(bool elevated, const WideString& userSid) {
    WideString sddl = u"O:" + (elevated ? WideString(u"BA") : userSid) + u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    sddl += elevated ? u"(A;OICI;GRGX;;;" : u"(A;OICI;FA;;;";
    sddl += userSid;
    // Owner Rights replaces the owner's implicit READ_CONTROL and WRITE_DAC:
    // whoever comes to own an entry inside cannot loosen the DACL it
    // inherited.
    sddl += u")(A;OICI;GRGX;;;OW)";
    return sddl;
}

bool IsOwnSetupStaging(bool elevated, const ObjectSecurity& security, const std::string& userSid) {
    if (!security.obtained || !security.owner) return false;
    if (!elevated) return *security.owner == userSid;
    // A null DACL lets everyone change it.
    if (*security.owner != kAdministratorsSid || !security.hasDacl) return false;
    for (const std::optional<AceEntry>& ace : security.aces) {
        if (!ace) return false;
        if (IsDenyEntry(*ace)) continue;
        // Even a type that would deny is refused: we cannot tell what it does.
        if (!IsAllowEntry(*ace)) return false;
        const bool administrator = ace->sid && (*ace->sid == kAdministratorsSid || *ace->sid == kLocalSystemSid);
        if (GrantsAnyOf(*ace, kStagingWriteRights) && !administrator) return false;
    }
    return true;
}

bool IsExpectedSetupPublisher(const WideString& signerName) { return signerName == Utf8ToWide(kSetupPublisherName); }

bool IsSameStagedFile(const std::optional<StagedFileIdentity>& written,
                      const std::optional<StagedFileIdentity>& reopened) {
    return written && reopened && written->volumeSerial == reopened->volumeSerial &&
           written->fileId == reopened->fileId && written->size == reopened->size;
}
