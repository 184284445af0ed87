#pragma once
// Removing a temporary directory tree (its owner, UniqueDirectoryTree, is in
// directory_tree_win32.h). The walk is the program's own, over a narrow seam,
// so that a reparse point inside the tree (a junction, a symbolic link) is
// removed itself and its target never touched: the standard recursive removal
// of zig's libc++ descends junctions, and in the elevated setup flow the
// removal runs as an administrator. Removal errors are swallowed (a
// still-running program may hold a file inside) and the owner never throws.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "os/system_codes.h"
#include "text/encoding.h"

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
