// The staging tree's removal walk over a fake file system: entries are opened
// by name relative to their parent's handle, a reparse point is deleted
// itself and what it leads to is never opened. Wine cannot make a junction
// (FSCTL_SET_REPARSE_POINT fails with 50) and CreateSymbolicLinkW reports
// success without making a link, so this is where links are tested.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "os/directory_tree.h"

namespace {

std::string Narrow(const WideString& text) { return std::string(text.begin(), text.end()); }

constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kFile = 0x20;
constexpr std::uint32_t kReparse = 0x400;

// Entries as objects, each in one parent under one name, and handles on
// them: what a handle holds stays the same object whatever is renamed. A
// reparse point lists and opens what it leads to, as following it would, so
// a walk that entered one would be seen to reach outside the tree.
struct FakeTree {
    struct Entry {
        std::uint32_t attributes = kFile;
        int parent = -1;
        WideString name;
        std::map<WideString, int> entries;
        int target = -1;  // what a reparse point leads to
        bool refuseDelete = false;
    };
    struct Handle {
        int entry;  // -1: the open failed
        std::string path;
    };
    std::vector<Entry> all;
    std::vector<Handle> opened;
    std::vector<std::string> log;
    // Runs as a directory has been listed, with its path: someone changes
    // the tree between listing and deleting.
    std::function<void(FakeTree&, const std::string&)> afterList;

    int Add(int parent, const WideString& name, std::uint32_t attributes, int target = -1) {
        all.push_back({attributes, parent, name, {}, target, false});
        const int added = static_cast<int>(all.size()) - 1;
        if (parent >= 0) all[parent].entries[name] = added;
        return added;
    }
    int Seen(int entry) const { return all[entry].target >= 0 ? all[entry].target : entry; }
    // Moves `entry` to `parent` under `name`, as a rename would.
    void Move(int entry, int parent, const WideString& name) {
        all[all[entry].parent].entries.erase(all[entry].name);
        all[entry].parent = parent;
        all[entry].name = name;
        all[parent].entries[name] = entry;
    }

    TreeRemovalOps Ops() {
        TreeRemovalOps ops;
        ops.open = [this](const WideString& name) -> std::optional<std::uint32_t> {
            const Handle parent = opened.back();
            const std::string path = parent.path + "\\" + Narrow(name);
            log.push_back("open " + path);
            const std::map<WideString, int>& entries = all[Seen(parent.entry)].entries;
            const auto found = parent.entry < 0 ? entries.end() : entries.find(name);
            opened.push_back({found == entries.end() ? -1 : found->second, path});
            if (found == entries.end()) return std::nullopt;
            return all[found->second].attributes;
        };
        ops.list = [this]() -> std::optional<std::vector<WideString>> {
            std::vector<WideString> names;
            for (const auto& [name, entry] : all[Seen(opened.back().entry)].entries) names.push_back(name);
            if (afterList) afterList(*this, opened.back().path);
            return names;
        };
        ops.removeOpened = [this] {
            const Handle top = opened.back();
            opened.pop_back();
            if (top.entry < 0) return false;
            Entry& entry = all[top.entry];
            if (entry.refuseDelete || entry.parent < 0 || !entry.entries.empty()) return false;
            log.push_back("delete " + top.path);
            all[entry.parent].entries.erase(entry.name);
            entry.parent = -1;
            return true;
        };
        return ops;
    }

    bool Remove() {
        opened.push_back({0, "S"});
        return RemoveOpenedTreeWith(all[0].attributes, Ops());
    }
};

// A staging folder S (entry 0, in a root) holding a file, a real folder with
// a file, a junction to a folder elsewhere and a symbolic link to a file
// elsewhere.
struct Staging {
    FakeTree tree;
    int root, sub, victim, victimFile;
    Staging() {
        tree.Add(-1, u"", kDirectory);
        root = tree.Add(-1, u"root", kDirectory);
        tree.all[0].parent = root;
        tree.all[0].name = u"S";
        tree.all[root].entries[u"S"] = 0;
        victim = tree.Add(root, u"victim", kDirectory);
        victimFile = tree.Add(victim, u"victim.txt", kFile);
        tree.Add(0, u"setup.exe", kFile);
        sub = tree.Add(0, u"sub", kDirectory);
        tree.Add(sub, u"log.txt", kFile);
        tree.Add(0, u"junction", kDirectory | kReparse, victim);
        tree.Add(0, u"link", kFile | kReparse, victimFile);
    }
    // Every path under the root, links not followed.
    std::vector<std::string> Paths(int from = -1, const std::string& prefix = "root") const {
        std::vector<std::string> paths;
        for (const auto& [name, entry] : tree.all[from < 0 ? root : from].entries) {
            const std::string path = prefix + "\\" + Narrow(name);
            paths.push_back(path);
            for (const std::string& below : Paths(entry, path)) paths.push_back(below);
        }
        return paths;
    }
};

}  // namespace

TEST(RemoveTree, DeletesAReparsePointItselfAndNeverWhatItLeadsTo) {
    Staging staging;
    EXPECT_TRUE(staging.tree.Remove());
    EXPECT_EQ(staging.tree.log, (std::vector<std::string>{"open S\\junction", "delete S\\junction", "open S\\link",
                                                          "delete S\\link", "open S\\setup.exe", "delete S\\setup.exe",
                                                          "open S\\sub", "open S\\sub\\log.txt",
                                                          "delete S\\sub\\log.txt", "delete S\\sub", "delete S"}));
    EXPECT_EQ(staging.Paths(), (std::vector<std::string>{"root\\victim", "root\\victim\\victim.txt"}));
}

// A refused entry fails the removal (to be retried) but the walk goes on, and
// every open is closed.
TEST(RemoveTree, ReportsWhatItCouldNotRemoveAndClosesEverything) {
    Staging refused;
    refused.tree.all[refused.sub + 1].refuseDelete = true;  // sub\log.txt
    EXPECT_FALSE(refused.tree.Remove());
    EXPECT_TRUE(refused.tree.opened.empty());
    EXPECT_EQ(refused.tree.all[0].entries.count(u"link"), 0u);

    Staging vanished;
    vanished.tree.afterList = [](FakeTree& tree, const std::string& listed) {
        if (listed == "S") tree.all[0].entries.erase(u"setup.exe");  // listed, then gone
    };
    EXPECT_FALSE(vanished.tree.Remove());
    EXPECT_TRUE(vanished.tree.opened.empty());
}

// Between listing a folder and opening what it listed, an entry is swapped
// for a link to something outside (an oplock on another entry can hold the
// walk for as long as that takes): the link is deleted itself, and nothing
// outside the tree is touched, the swapped-out entry included.
TEST(RemoveTree, DeletesNothingOutsideTheTreeWhenAListedEntryBecomesALink) {
    struct Case {
        const char* name;
        const char16_t* swapped;
        bool toFolder;
    };
    const Case cases[] = {{"folder for a junction", u"sub", true}, {"file for a symbolic link", u"setup.exe", false}};
    for (const Case& c : cases) {
        Staging staging;
        const int moved = staging.tree.all[0].entries.at(c.swapped);
        staging.tree.afterList = [&](FakeTree& tree, const std::string& listed) {
            if (listed != "S") return;
            tree.Move(moved, staging.root, u"moved-out");
            tree.Add(0, c.swapped, (c.toFolder ? kDirectory : kFile) | kReparse,
                     c.toFolder ? staging.victim : staging.victimFile);
        };
        EXPECT_TRUE(staging.tree.Remove()) << c.name;
        std::vector<std::string> outside = {"root\\moved-out", "root\\victim", "root\\victim\\victim.txt"};
        if (c.toFolder) outside.insert(outside.begin() + 1, "root\\moved-out\\log.txt");
        EXPECT_EQ(staging.Paths(), outside) << c.name;
    }
}
