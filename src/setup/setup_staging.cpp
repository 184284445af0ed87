#include "setup/setup_staging.h"

#include "setup/setup_constants.h"

WideString SetupRunName(const WideString& identifier) { return Utf8ToWide(kSetupNamePrefix) + identifier; }

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
