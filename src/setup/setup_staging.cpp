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
    WideString sddl = u"O:" + userSid + u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    sddl += elevated ? u"(A;OICI;GRGX;;;" : u"(A;OICI;FA;;;";
    sddl += userSid;
    // Owner Rights replaces the owner's implicit READ_CONTROL and WRITE_DAC:
    // without it a non-elevated process of the owner could loosen the DACL
    // of what an administrator staged and verified.
    sddl += u")(A;OICI;GRGX;;;OW)";
    return sddl;
}

bool IsExpectedSetupPublisher(const WideString& signerName) {
    return signerName == Utf8ToWide(kSetupPublisherName);
}

bool IsSameStagedFile(const std::optional<StagedFileIdentity>& written,
                      const std::optional<StagedFileIdentity>& reopened) {
    return written && reopened && written->volumeSerial == reopened->volumeSerial &&
           written->fileIndex == reopened->fileIndex && written->size == reopened->size;
}
