#pragma once
// The Windows side of the tree walk, for callers that judge an entry through
// the same handle the walk then removes it by: listing a directory, opening
// one of its entries relative to its handle, and removing an opened entry.

#include <windows.h>

#include <optional>
#include <vector>

#include "os/handles_win32.h"
#include "text/encoding.h"

// DELETE to remove an entry through its handle, FILE_LIST_DIRECTORY to list
// a directory.
inline constexpr DWORD kTreeEntryAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// The names in the directory behind `directory` (opened for listing, for
// synchronous I/O), without "." and ".."; std::nullopt when it cannot be listed.
std::optional<std::vector<WideString>> ListDirectory(HANDLE directory);

// Opens `name`, one entry of the directory behind `parent`, with `access` and
// without delete sharing; nothing held when it cannot be opened or `name` is
// not a single entry name.
UniqueHandle OpenTreeEntry(HANDLE parent, const WideString& name, DWORD access);

// Removes the entry behind `entry` (opened with at least kTreeEntryAccess and
// without following a reparse point) as RemoveDirectoryTree does. True when
// all of it is gone.
bool RemoveOpenedTree(UniqueHandle entry);
