#pragma once
// Owner of a temporary directory tree: removing it is the release. The walk is
// the program's own, over a narrow seam, so that a reparse point inside the
// tree (a junction, a symbolic link) is removed itself and its target never
// touched: the standard recursive removal of zig's libc++ descends junctions,
// and in the elevated setup flow the removal runs as an administrator.
// Removal errors are swallowed (a still-running program may hold a file
// inside) and the owner never throws.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "text/encoding.h"

inline constexpr std::uint32_t kDirectoryFileAttribute = 0x10;       // FILE_ATTRIBUTE_DIRECTORY
inline constexpr std::uint32_t kReparsePointFileAttribute = 0x400;   // FILE_ATTRIBUTE_REPARSE_POINT

// Only a real directory is entered; a reparse point is an entry to delete,
// whatever it leads to.
inline bool DescendsInto(std::uint32_t attributes) {
    return (attributes & kDirectoryFileAttribute) != 0 && (attributes & kReparsePointFileAttribute) == 0;
}

// What the walk asks of the system. Every open is paired with one
// removeOpened, innermost first, so the ancestors of what is being removed
// stay open (and cannot be renamed) meanwhile. Entries are named only
// relative to the directory opened last, never by a path: a path walked again
// after listing could be led elsewhere by a folder swapped for a junction in
// between.
struct TreeRemovalOps {
    // Opens the entry `name` of the directory opened last, through that
    // directory's open handle, and never what a reparse point leads to; its
    // attributes, or std::nullopt when it could not be opened.
    std::function<std::optional<std::uint32_t>(const WideString& name)> open;
    // The names in the directory opened last, without "." and "..";
    // std::nullopt when it could not be listed.
    std::function<std::optional<std::vector<WideString>>()> list;
    // Deletes what was opened last through its handle (when it was opened) and
    // closes it; false when anything was refused.
    std::function<bool()> removeOpened;
};

// Removes what was opened last (`attributes` as its open gave them) and, when
// it is a real directory, everything in it. True when all of it is gone.
bool RemoveOpenedTreeWith(const std::optional<std::uint32_t>& attributes, const TreeRemovalOps& ops);

// The real thing: `path` itself opened once with FILE_FLAG_OPEN_REPARSE_POINT,
// everything below it relative to its parent's handle, each deleted by handle.
// Windows only.
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
