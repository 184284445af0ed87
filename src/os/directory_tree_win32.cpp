#include "os/directory_tree.h"

#include <windows.h>

#include "os/handles_win32.h"
#include "text/wide_win32.h"

namespace {

// DELETE to remove it through the handle, FILE_LIST_DIRECTORY to list a
// directory. No FILE_SHARE_DELETE: while an entry is open nobody can rename
// it, so the path of what lies below keeps leading where it led.
constexpr DWORD kEntryAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kEntryShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kEntryFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

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

}  // namespace

bool RemoveDirectoryTree(const WideString& path) {
    std::vector<UniqueHandle> opened;  // innermost last
    TreeRemovalOps ops;
    ops.open = [&](const WideString& entry) -> std::optional<std::uint32_t> {
        opened.emplace_back(::CreateFileW(WinStr(entry), kEntryAccess, kEntryShare, nullptr, OPEN_EXISTING, kEntryFlags,
                                          nullptr));
        FILE_ATTRIBUTE_TAG_INFO info{};
        if (!opened.back() ||
            !::GetFileInformationByHandleEx(opened.back().get(), FileAttributeTagInfo, &info, sizeof info)) {
            return std::nullopt;
        }
        return info.FileAttributes;
    };
    ops.list = [&] { return ListDirectory(opened.back().get()); };
    ops.removeOpened = [&] {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        const bool removed =
            opened.back() &&
            ::SetFileInformationByHandle(opened.back().get(), FileDispositionInfo, &disposition, sizeof disposition);
        opened.pop_back();  // the deletion takes effect as the handle closes
        return removed;
    };
    return RemoveTreeWith(path, ops);
}
