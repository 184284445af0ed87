#include "setup/setup_staging_win32.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <vector>

#include "os/directory_tree_win32.h"
#include "pipes/object_security_win32.h"
#include "setup/setup_constants.h"
#include "setup/setup_staging.h"
#include "setup/setup_task_win32.h"
#include "text/current_user_win32.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

// The copy in setup_staging.h, held to the names it stands for.
static_assert(kStagingWriteRights ==
              (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
               WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL));

namespace {

constexpr DWORD kPathBufferUnits = 260;

WideString StagingRoot(bool elevated) {
    wchar_t buffer[kPathBufferUnits] = {};
    if (elevated) {
        if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) {
            throw ProgramError(kSetupProtectedStorageMessage);
        }
        return FromWin(buffer);
    }
    const DWORD length = ::GetTempPathW(kPathBufferUnits, buffer);
    // A result above 259 is the size the path would need: it did not fit.
    if (length == 0 || length > kPathBufferUnits - 1) throw ProgramError(kSetupStagingRootMessage);
    return FromWin(buffer, length);
}

WideString NewSetupIdentifier() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) throw ProgramError(kSetupIdentifierMessage);
    wchar_t text[40] = {};
    const int length = ::StringFromGUID2(guid, text, 40);
    if (length == 0) throw ProgramError(kSetupIdentifierMessage);
    return FromWin(text);
}

}  // namespace

namespace {

// Whether the entry behind `folder` (never what a link leads to) is a real
// directory that a run of this user made for `elevated` and created at least
// the setup deadline before `now`. Judged through the handle the removal then
// uses: Wine's directory listing does not report the creation time its
// handles do.
bool IsStaleStagingOf(HANDLE folder, bool elevated, const std::string& userSid, std::uint64_t now) {
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof basic) ||
        !DescendsInto(basic.FileAttributes) ||
        !IsStaleSetupStaging(static_cast<std::uint64_t>(basic.CreationTime.QuadPart), now)) {
        return false;
    }
    return IsOwnSetupStaging(elevated, DescribeSecurity(QuerySecurity(folder)), userSid);
}

}  // namespace

void RemoveSetupLeftovers(bool elevated) noexcept {
    try {
        const WideString root = StagingRoot(elevated);
        const std::string user = WideToUtf8(CurrentUserSid());
        FILETIME nowTime{};
        ::GetSystemTimeAsFileTime(&nowTime);
        const std::uint64_t now = (std::uint64_t{nowTime.dwHighDateTime} << 32) | nowTime.dwLowDateTime;
        const UniqueHandle rootFolder(::CreateFileW(WinStr(root), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!rootFolder) return;
        const std::optional<std::vector<WideString>> names = ListDirectory(rootFolder.get());
        if (!names) return;
        for (const WideString& name : *names) {
            if (!IsSetupRunName(name)) continue;
            // Opened once, judged and removed through the same handle. A live
            // run holds its folder open without delete sharing, so this open
            // fails and its task is left alone.
            UniqueHandle folder = OpenTreeEntry(rootFolder.get(), name, kTreeEntryAccess | READ_CONTROL);
            if (!folder || !IsStaleStagingOf(folder.get(), elevated, user, now) ||
                !RemoveOpenedTree(std::move(folder))) {
                continue;
            }
            if (elevated) RemoveIdleSetupTask(name);
        }
    } catch (...) {
        // Leftovers stay for a later run; this run goes on.
    }
}

UniqueLocalMemory SetupStagingDescriptor(bool elevated, const WideString& userSid) {
    const WideString sddl = SetupStagingSddl(elevated, userSid);
    PSECURITY_DESCRIPTOR converted = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(WinStr(sddl), SDDL_REVISION_1, &converted, nullptr)) {
        throw ProgramError(kSetupProtectMessage);
    }
    return UniqueLocalMemory(converted);
}

SetupStaging::SetupStaging(bool elevated) {
    const WideString root = StagingRoot(elevated);
    identifier_ = NewSetupIdentifier();
    directoryPath_ = JoinSetupPath(root, SetupRunName(identifier_));
    UniqueLocalMemory descriptor = SetupStagingDescriptor(elevated, CurrentUserSid());
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = FALSE;
    const BOOL created = ::CreateDirectoryW(WinStr(directoryPath_), &attributes);
    descriptor.reset();
    if (!created) throw ProgramError(kSetupCreateStagingMessage);
    tree_ = UniqueDirectoryTree(directoryPath_);

    // No FILE_SHARE_DELETE: the directory can be neither deleted nor renamed
    // while this handle is open. FILE_FLAG_OPEN_REPARSE_POINT opens a reparse
    // point planted in its place as itself instead of following it.
    lock_.reset(::CreateFileW(WinStr(directoryPath_), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!lock_) throw ProgramError(kSetupLockStagingMessage);
}

StagedSetupFile CreateStagedSetupFile(const SetupStaging& staging) {
    WideString path = JoinSetupPath(staging.DirectoryPath(), Utf8ToWide(kSetupFileName));
    UniqueHandle write(
        ::CreateFileW(WinStr(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write) throw ProgramError(kSetupCreateFileMessage);
    return StagedSetupFile{std::move(path), std::move(write)};
}

namespace {

// The 128-bit file ID where the file system gives one, else the 64-bit index
// (a file system that answers no FileIdInfo).
std::optional<StagedFileIdentity> IdentityOf(HANDLE file) {
    LARGE_INTEGER size{};
    if (file == nullptr || !::GetFileSizeEx(file, &size)) return std::nullopt;
    StagedFileIdentity identity;
    identity.size = static_cast<std::uint64_t>(size.QuadPart);
    FILE_ID_INFO id{};
    if (::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
        identity.volumeSerial = id.VolumeSerialNumber;
        static_assert(sizeof id.FileId.Identifier == sizeof identity.fileId);
        std::memcpy(identity.fileId.data(), id.FileId.Identifier, sizeof identity.fileId);
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return std::nullopt;
    identity.volumeSerial = info.dwVolumeSerialNumber;
    const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    for (std::size_t byte = 0; byte < 8; ++byte) identity.fileId[byte] = static_cast<std::uint8_t>(index >> (8 * byte));
    return identity;
}

}  // namespace

UniqueHandle LockStagedSetup(UniqueHandle& write, const WideString& path) {
    // Between the close and the reopen the name could be made to lead to
    // another file; the bytes verified must be the bytes that were written.
    const std::optional<StagedFileIdentity> written = IdentityOf(write.get());
    write.reset();
    UniqueHandle read(::CreateFileW(WinStr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!read) throw ProgramError(kSetupLockFileMessage);
    if (!IsSameStagedFile(written, IdentityOf(read.get()))) throw ProgramError(kSetupIdentityMessage);
    return read;
}

namespace {

// Owner of one WinVerifyTrust state: once the verifying call has run, the
// same call with WTD_STATEACTION_CLOSE releases what it allocated, whatever
// the verification's outcome.
class TrustState {
public:
    TrustState(const WideString& path, HANDLE file) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = WinStr(path);
        file_.hFile = file;
        file_.pgKnownSubject = nullptr;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
        result_ = ::WinVerifyTrust(nullptr, &action_, &data_);
    }
    ~TrustState() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(nullptr, &action_, &data_);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

    LONG Result() const noexcept { return result_; }
    HANDLE StateData() const noexcept { return data_.hWVTStateData; }

private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    LONG result_ = -1;
};

// The signing certificate's simple display name, or nothing when the state
// does not hold a complete signer chain or the name is empty.
bool ReadSignerName(HANDLE stateData, WideString& name) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(stateData);
    if (provider == nullptr) return false;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return false;
    CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
    if (certificate == nullptr || certificate->pCert == nullptr) return false;

    const DWORD length =
        ::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length < 2) return false;
    std::vector<wchar_t> buffer(length, L'\0');
    if (::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer.data(), length) !=
        length) {
        return false;
    }
    name = FromWin(buffer.data(), length - 1);
    return true;
}

}  // namespace

void VerifySetupPublisher(const WideString& path, HANDLE read) {
    TrustState state(path, read);
    WideString signer;
    if (state.Result() != 0 || !ReadSignerName(state.StateData(), signer) || !IsExpectedSetupPublisher(signer)) {
        throw ProgramError(kSetupUntrustedMessage);
    }
}
