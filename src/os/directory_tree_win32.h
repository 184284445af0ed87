#pragma once
// The Windows side of the tree walk, for callers that judge an entry through
// the same handle the walk then removes it by: listing a directory, opening
// one of its entries relative to its handle, and removing an opened entry.

#include <windows.h>

#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "os/directory_tree.h"
#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
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

// The real thing: `path` itself opened once with FILE_FLAG_OPEN_REPARSE_POINT,
// everything below it relative to its parent's handle, each deleted by handle.
bool RemoveDirectoryTree(const WideString& path);

class UniqueDirectoryTree {
public:
    UniqueDirectoryTree() = default;
    explicit UniqueDirectoryTree(WideString path) noexcept : path_(std::move(path)) {}
    ~UniqueDirectoryTree() { reset(); }

    UniqueDirectoryTree(const UniqueDirectoryTree&) = delete;
    UniqueDirectoryTree& operator=(const UniqueDirectoryTree&) = delete;
    UniqueDirectoryTree(UniqueDirectoryTree&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    UniqueDirectoryTree& operator=(UniqueDirectoryTree&& other) noexcept {
        if (this != &other) {
            reset();
            path_ = std::exchange(other.path_, {});
        }
        return *this;
    }

    const WideString& path() const noexcept { return path_; }
    bool held() const noexcept { return !path_.empty(); }

    // Removes the tree (if one is held). A program that has just exited from
    // inside the tree can keep its image file for a moment after its process
    // handle is signalled (deletion then only takes effect later, and the
    // folder is not yet empty), so a failed removal is retried for up to one
    // second.
    void reset() noexcept {
        if (path_.empty()) return;
        for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
            try {
                if (RemoveDirectoryTree(path_)) break;
            } catch (...) {
                // allocation failure: try again, then give up silently
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kRemovalRetryMs));
        }
        path_.clear();
    }

private:
    static constexpr int kRemovalAttempts = 21;
    static constexpr int kRemovalRetryMs = 50;

    WideString path_;
};
