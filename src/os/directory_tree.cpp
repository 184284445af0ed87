#include "os/directory_tree.h"

bool RemoveOpenedTreeWith(const std::optional<std::uint32_t>& attributes, const TreeRemovalOps& ops) {
    bool complete = attributes.has_value();
    if (attributes && DescendsInto(*attributes)) {
        const std::optional<std::vector<WideString>> names = ops.list();
        complete = names.has_value();
        if (names) {
            for (const WideString& name : *names) complete = RemoveOpenedTreeWith(ops.open(name), ops) && complete;
        }
    }
    // Always paired with the open, so the handle is closed even when the
    // directory could not be emptied; deleting a non-empty one then fails.
    return ops.removeOpened() && complete;
}
