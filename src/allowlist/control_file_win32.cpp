#include "allowlist/control_file_win32.h"

#include <vector>

#include "allowlist/control_file.h"
#include "os/handles_win32.h"
#include "pipes/object_security_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

// The copy in control_file.h, held to the names it stands for.
static_assert(kWriteCapableRights == (GENERIC_ALL | GENERIC_WRITE | WRITE_OWNER | WRITE_DAC | DELETE |
                                      FILE_DELETE_CHILD | FILE_APPEND_DATA | FILE_WRITE_DATA));

namespace {

constexpr DWORD kFolderAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFolderFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kFileAccess = GENERIC_READ | READ_CONTROL;
constexpr DWORD kFileFlags = FILE_FLAG_OPEN_REPARSE_POINT;

std::string CurrentUserSidText() { return WideToUtf8(CurrentUserSid()); }

std::optional<std::uint32_t> AttributesOf(HANDLE object) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(object, FileAttributeTagInfo, &info, sizeof info)) return std::nullopt;
    return info.FileAttributes;
}

std::optional<WideString> FinalPathOf(HANDLE object) {
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(object, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) return FromWin(buffer.data(), length);
        buffer.assign(length + 1, L'\0');  // the length needed, with its terminator
    }
    return std::nullopt;
}

// The folder and the file of one read; the file is declared last so that it
// is closed first.
struct OpenedControlFile {
    UniqueHandle folder;
    UniqueHandle file;

    HANDLE Of(ControlObject object) const { return object == ControlObject::Folder ? folder.get() : file.get(); }
};

}  // namespace

void VerifyTrustedFileHandle(HANDLE object) {
    VerifyTrustedFile([object] { return DescribeSecurity(QuerySecurity(object)); }, CurrentUserSidText,
                      [object] { return AttributesOf(object); });
}

std::optional<std::string> ReadControlFile(const WideString& folder, const WideString& file,
                                           const ControlFileRules& rules) {
    OpenedControlFile opened;
    ControlFileOps ops;
    ops.open = [&](ControlObject object) -> std::uint32_t {
        const bool isFolder = object == ControlObject::Folder;
        UniqueHandle& slot = isFolder ? opened.folder : opened.file;
        slot.reset(::CreateFileW(WinStr(isFolder ? folder : file), isFolder ? kFolderAccess : kFileAccess,
                                 isFolder ? kFolderShare : rules.fileShare, nullptr, OPEN_EXISTING,
                                 isFolder ? kFolderFlags : kFileFlags, nullptr));
        return slot ? 0 : ::GetLastError();
    };
    ops.readSecurity = [&](ControlObject object) { return DescribeSecurity(QuerySecurity(opened.Of(object))); };
    ops.attributes = [&](ControlObject object) { return AttributesOf(opened.Of(object)); };
    ops.fileSize = [&]() -> std::optional<std::uint64_t> {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(opened.file.get(), &size) || size.QuadPart < 0) return std::nullopt;
        return static_cast<std::uint64_t>(size.QuadPart);
    };
    ops.read = [&](std::uint64_t size) -> std::optional<std::string> {
        // One read of exactly the size: the limit keeps it far below 4 GiB.
        std::string content(static_cast<std::size_t>(size), '\0');
        char empty = 0;
        DWORD got = 0;
        if (!::ReadFile(opened.file.get(), size ? content.data() : &empty, static_cast<DWORD>(size), &got, nullptr) ||
            got != size) {
            return std::nullopt;
        }
        return content;
    };
    ops.finalPath = [&](ControlObject object) { return FinalPathOf(opened.Of(object)); };
    ops.currentUserSid = CurrentUserSidText;
    return ReadControlFileWith(rules, ops);
}
