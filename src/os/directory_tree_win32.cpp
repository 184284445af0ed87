#include "os/directory_tree_win32.h"

#include <winternl.h>

#include "os/directory_tree.h"
#include "text/wide_win32.h"

namespace {

// No FILE_SHARE_DELETE: while an entry is open nobody can rename or delete
// it, so what lies below it stays below it.
constexpr DWORD kEntryShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kEntryFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// NtCreateFile's own spelling of OPEN_EXISTING and of kEntryFlags, with
// synchronous I/O as CreateFileW gives it (the listing needs it).
constexpr ULONG kNtOpenExisting = FILE_OPEN;
constexpr ULONG kNtEntryOptions = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kNtCaseInsensitive = OBJ_CASE_INSENSITIVE;
constexpr ULONG kNtDontReparse = OBJ_DONT_REPARSE;
constexpr NTSTATUS kNtInvalidParameter = static_cast<NTSTATUS>(STATUS_INVALID_PARAMETER);

// One component, as a listing gives it: a separator would walk through an
// entry not yet checked, a colon would name a stream.
bool IsSingleEntryName(const WideString& name) {
    if (name.empty() || name == u"." || name == u".." || name.size() > 255) return false;
    return name.find_first_of(u"\\/:") == WideString::npos;
}

std::optional<std::uint32_t> AttributesOf(HANDLE entry) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (entry == nullptr || entry == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &info, sizeof info)) {
        return std::nullopt;
    }
    return info.FileAttributes;
}

}  // namespace

std::optional<std::vector<WideString>> ListDirectory(HANDLE directory) {
    std::vector<WideString> names;
    alignas(8) unsigned char buffer[16384];
    FILE_INFO_BY_HANDLE_CLASS request = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(directory, request, buffer, sizeof buffer)) {
            if (::GetLastError() == ERROR_NO_MORE_FILES) return names;
            return std::nullopt;
        }
        request = FileFullDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
            WideString name = FromWin(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != u"." && name != u"..") names.push_back(std::move(name));
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

// The name is resolved once, inside the very directory `parent` holds open,
// however that directory has been renamed or linked to since: opening by the
// file ID from the listing would do the same, but NTFS refuses to delete or
// rename through a handle opened by ID. OBJ_DONT_REPARSE fails the open
// rather than follow a reparse point met on the way (the parent emptied and
// made a junction while held); Windows 10 before 1803 does not know it and
// answers STATUS_INVALID_PARAMETER, so the open is asked again without it:
// the entry itself is still opened, never followed.
UniqueHandle OpenTreeEntry(HANDLE parent, const WideString& name, DWORD access) {
    if (!IsSingleEntryName(name)) return UniqueHandle();
    UNICODE_STRING text{};
    text.Buffer = const_cast<wchar_t*>(WinStr(name));
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    for (const ULONG attributes : {kNtCaseInsensitive | kNtDontReparse, kNtCaseInsensitive}) {
        OBJECT_ATTRIBUTES object{};
        object.Length = sizeof object;
        object.RootDirectory = parent;
        object.ObjectName = &text;
        object.Attributes = attributes;
        IO_STATUS_BLOCK status{};
        HANDLE entry = nullptr;
        const NTSTATUS opened = ::NtCreateFile(&entry, access, &object, &status, nullptr, 0, kEntryShare,
                                               kNtOpenExisting, kNtEntryOptions, nullptr, 0);
        if (opened >= 0) return UniqueHandle(entry);
        if (opened != kNtInvalidParameter) break;
    }
    return UniqueHandle();
}

bool RemoveOpenedTree(UniqueHandle entry) {
    std::vector<UniqueHandle> opened;  // innermost last
    opened.push_back(std::move(entry));
    TreeRemovalOps ops;
    ops.open = [&](const WideString& name) {
        const HANDLE parent = opened.back().get();
        opened.push_back(OpenTreeEntry(parent, name, kTreeEntryAccess));
        return AttributesOf(opened.back().get());
    };
    ops.list = [&] { return ListDirectory(opened.back().get()); };
    ops.removeOpened = [&] {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        const bool removed = opened.back() && ::SetFileInformationByHandle(opened.back().get(), FileDispositionInfo,
                                                                           &disposition, sizeof disposition);
        opened.pop_back();  // the deletion takes effect as the handle closes
        return removed;
    };
    return RemoveOpenedTreeWith(AttributesOf(opened.back().get()), ops);
}

bool RemoveDirectoryTree(const WideString& path) {
    UniqueHandle top(
        ::CreateFileW(WinStr(path), kTreeEntryAccess, kEntryShare, nullptr, OPEN_EXISTING, kEntryFlags, nullptr));
    return RemoveOpenedTree(std::move(top));
}
