// The staging tree's removal walk over a fake file system: a reparse point is
// deleted itself and what it leads to is never opened. Wine cannot make a
// junction (FSCTL_SET_REPARSE_POINT fails with 50) and CreateSymbolicLinkW
// reports success without making a link, so this is where links are tested.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "os/directory_tree.h"

namespace {

std::string Narrow(const WideString& text) { return std::string(text.begin(), text.end()); }

// Entries by path; a reparse point still lists what lies behind it, as
// following it would show.
struct FakeTree {
    struct Entry {
        std::uint32_t attributes = 0x20;
        std::vector<WideString> names;
        bool refuseDelete = false;
    };
    std::map<WideString, Entry> entries;
    std::vector<WideString> stack;
    std::vector<std::string> log;

    TreeRemovalOps Ops() {
        TreeRemovalOps ops;
        ops.open = [this](const WideString& path) -> std::optional<std::uint32_t> {
            log.push_back("open " + Narrow(path));
            stack.push_back(path);
            const auto found = entries.find(path);
            if (found == entries.end()) return std::nullopt;
            return found->second.attributes;
        };
        ops.list = [this]() -> std::optional<std::vector<WideString>> { return entries.at(stack.back()).names; };
        ops.removeOpened = [this] {
            const WideString path = stack.back();
            stack.pop_back();
            const auto found = entries.find(path);
            if (found == entries.end() || found->second.refuseDelete) return false;
            log.push_back("delete " + Narrow(path));
            entries.erase(found);
            return true;
        };
        return ops;
    }
};

constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kFile = 0x20;
constexpr std::uint32_t kReparse = 0x400;

// A staging folder holding a file, a real folder with a file, a junction to
// a folder elsewhere and a symbolic link to a file elsewhere.
FakeTree Staging() {
    FakeTree tree;
    tree.entries[u"S"] = {kDirectory, {u"setup.exe", u"sub", u"junction", u"link"}};
    tree.entries[u"S\\setup.exe"] = {kFile, {}};
    tree.entries[u"S\\sub"] = {kDirectory, {u"log.txt"}};
    tree.entries[u"S\\sub\\log.txt"] = {kFile, {}};
    tree.entries[u"S\\junction"] = {kDirectory | kReparse, {u"victim.txt"}};
    tree.entries[u"S\\junction\\victim.txt"] = {kFile, {}};
    tree.entries[u"S\\link"] = {kFile | kReparse, {}};
    return tree;
}

}  // namespace

TEST(RemoveTree, DeletesAReparsePointItselfAndNeverWhatItLeadsTo) {
    FakeTree tree = Staging();
    EXPECT_TRUE(RemoveTreeWith(u"S", tree.Ops()));
    EXPECT_EQ(tree.log, (std::vector<std::string>{"open S", "open S\\setup.exe", "delete S\\setup.exe", "open S\\sub",
                                                  "open S\\sub\\log.txt", "delete S\\sub\\log.txt", "delete S\\sub",
                                                  "open S\\junction", "delete S\\junction", "open S\\link",
                                                  "delete S\\link", "delete S"}));
    // Only what lay behind the junction is left.
    ASSERT_EQ(tree.entries.size(), 1u);
    EXPECT_EQ(Narrow(tree.entries.begin()->first), "S\\junction\\victim.txt");
}

// A refused entry fails the removal (to be retried) but the walk goes on, and
// every open is closed.
TEST(RemoveTree, ReportsWhatItCouldNotRemoveAndClosesEverything) {
    FakeTree tree = Staging();
    tree.entries[u"S\\sub\\log.txt"].refuseDelete = true;
    EXPECT_FALSE(RemoveTreeWith(u"S", tree.Ops()));
    EXPECT_TRUE(tree.stack.empty());
    EXPECT_EQ(tree.entries.count(u"S\\link"), 0u);

    FakeTree vanished = Staging();
    vanished.entries.erase(u"S\\setup.exe");  // listed, then gone
    EXPECT_FALSE(RemoveTreeWith(u"S", vanished.Ops()));
    EXPECT_TRUE(vanished.stack.empty());
}
