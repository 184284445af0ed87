// The allowlist and the control-file trust rules over a fake file system that
// records what was asked of it. Cases Wine cannot make (links, object and
// callback entries, unreadable entries, failed queries) are covered here.

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

#include "allowlist/allowlist.h"
#include "support/error_message.h"
#include "support/fake_control_files.h"

namespace {

const std::string kUsers = "S-1-5-32-545";
const std::string kAuthenticatedUsers = "S-1-5-11";
const std::string kPipe = "\\\\.\\pipe\\app";

constexpr std::uint32_t kReadExecute = 0x001200A9;
constexpr std::uint32_t kModify = 0x001301BF;

// The message of IsPipeAllowlistedWith over `files`, or "true" / "false".
std::string Check(FakeFiles& files, const std::string& request = kPipe) {
    bool listed = false;
    const std::string message = MessageOf([&] { listed = IsPipeAllowlistedWith(request, files.Ops()); });
    if (message != "(no error)") return message;
    return listed ? "true" : "false";
}

const std::string kWritable = "Named pipe allowlist is writable by another principal.";

}  // namespace

// The folder is opened and checked before the file, then the file is read once.
TEST(AllowlistFile, ChecksTheFolderThenTheFileThenReadsOnce) {
    FakeFiles files;
    EXPECT_EQ(Check(files), "true");
    EXPECT_EQ(files.log, (std::vector<std::string>{"open folder", "security folder", "attributes folder", "open file",
                                                   "security file", "attributes file", "final path folder",
                                                   "final path file", "size", "read 13"}));
}

// The answer for each state of folder and file (a missing folder or file and
// one held open for writing are AllowlistOnWine's): a path not found means
// "not listed", other open failures are errors; the file is read whole, at most
// 65536 bytes; a folder that lets Users add files fails even without a file.
TEST(AllowlistFile, AnswersForEachStateOfFolderAndFile) {
    const std::string exact = kPipe + "\n" + std::string(65536 - kPipe.size() - 1, '#');
    const std::pair<std::function<void(FakeFiles&)>, std::string> cases[] = {
        {[](FakeFiles&) {}, "true"},
        {[](FakeFiles& f) { f.folder.openError = 3; }, "false"},
        {[](FakeFiles& f) { f.file.openError = 3; }, "false"},
        {[](FakeFiles& f) { f.folder.openError = 5; }, "Could not open the named pipe allowlist directory."},
        {[](FakeFiles& f) { f.folder.security = f.file.security = Trusted("S-1-5-32-544"); }, "true"},
        {[](FakeFiles& f) { f.folder.security = f.file.security = Trusted("S-1-5-18"); }, "true"},
        {[&](FakeFiles& f) { f.content = exact; }, "true"},
        {[&](FakeFiles& f) { f.content = exact + "#"; }, "Named pipe allowlist is too large."},
        {[](FakeFiles& f) { f.readFails = true; }, "Could not read named pipe allowlist."},
        {[](FakeFiles& f) { f.shortRead = true; }, "Could not read named pipe allowlist."},
        {[](FakeFiles& f) {
             f.folder.security.aces.push_back(Allow(0x00000002, kUsers));  // FILE_ADD_FILE
             f.file.openError = 2;
         },
         kWritable},
    };
    for (const auto& [change, outcome] : cases) {
        FakeFiles files;
        change(files);
        EXPECT_EQ(Check(files), outcome);
        if (outcome == "Named pipe allowlist is too large.") {
            EXPECT_EQ(files.log.back(), "size");  // never read in part
        }
    }
    FakeFiles noSize;
    ControlFileOps ops = noSize.Ops();
    ops.fileSize = [] { return std::optional<std::uint64_t>(); };
    EXPECT_EQ(MessageOf([&] { IsPipeAllowlistedWith(kPipe, ops); }), "Named pipe allowlist is too large.");
}

// Each failure of the trust rules, on the file and on the folder.
TEST(AllowlistFile, ReportsEachTrustFailure) {
    const std::string unverified = "Could not verify named pipe allowlist permissions.";
    const std::string untrusted = "Named pipe allowlist has an untrusted owner.";
    const std::string reparse = "Named pipe allowlist must not be a reparse point.";
    const std::pair<std::function<void(FakeObject&)>, std::string> cases[] = {
        {[](FakeObject& o) { o.security.obtained = false; }, unverified},
        {[](FakeObject& o) { o.security.hasDacl = false; }, unverified},
        {[](FakeObject& o) { o.security.owner = kOtherUser; }, untrusted},
        {[](FakeObject& o) { o.security.owner = std::nullopt; }, "Could not inspect pipe identity."},
        {[](FakeObject& o) { o.security.aces.push_back(std::nullopt); }, "Invalid named pipe allowlist ACL."},
        {[](FakeObject& o) { o.security.aces.push_back(Allow(kModify, kAuthenticatedUsers)); }, kWritable},
        {[](FakeObject& o) { o.attributes = 0x400 | 0x10; }, reparse},
        {[](FakeObject& o) { o.attributes = std::nullopt; }, reparse},
        // A link whose owner is untrusted reports the owner.
        {[](FakeObject& o) { o.attributes = 0x400, o.security.owner = kOtherUser; }, untrusted},
    };
    for (ControlObject object : {ControlObject::Folder, ControlObject::File}) {
        for (const auto& [change, message] : cases) {
            FakeFiles files;
            change(files.Of(object));
            EXPECT_EQ(Check(files), message) << FakeFiles::Name(object);
        }
    }
}

// Only allow entries that apply to the object and grant a write-capable right
// need a trusted SID; every other entry type is refused, even a denying one.
TEST(AllowlistFile, JudgesEachEntryByTypeFlagsAndRights) {
    const auto withEntry = [](const AceEntry& ace) {
        FakeFiles files;
        files.file.security.aces.push_back(ace);
        return Check(files);
    };
    EXPECT_EQ(withEntry(Allow(0x00000100, kUsers)), "true");  // FILE_WRITE_ATTRIBUTES alone
    EXPECT_EQ(withEntry(Allow(0x00000010, kUsers)), "true");  // FILE_WRITE_EA alone
    for (std::uint32_t right : {0x10000000u, 0x40000000u, 0x00080000u, 0x00040000u, 0x00010000u, 0x40u, 0x4u, 0x2u}) {
        EXPECT_EQ(withEntry(Allow(right, kEveryone)), kWritable) << right;
    }
    EXPECT_EQ(withEntry(Allow(kFileAllAccess, kEveryone, kInheritOnlyAceFlag | 0x3)), "true");
    EXPECT_EQ(withEntry(OfType(5, kFileAllAccess, kInheritOnlyAceFlag)), "true");
    EXPECT_EQ(withEntry(OfType(kAccessDeniedAceType, kFileAllAccess)), "true");
    for (std::uint8_t type : {5, 6, 9, 10, 11, 17}) {
        EXPECT_EQ(withEntry(OfType(type, 0)), "Unsupported named pipe allowlist ACL.") << int(type);
    }
    // A write-capable entry's SID must be readable; a harmless one's need not be.
    EXPECT_EQ(withEntry(AceEntry{kAccessAllowedAceType, 0, kModify, std::nullopt}), "Could not inspect pipe identity.");
    EXPECT_EQ(withEntry(AceEntry{kAccessAllowedAceType, 0, kReadExecute, std::nullopt}), "true");
}

// The file must be where the checked folder is: a path whose text makes the
// file its own "folder", or a folder swapped after the check, is refused.
TEST(AllowlistFile, RequiresTheOpenedFileDirectlyInTheOpenedFolder) {
    const std::u16string folder = u"\\\\?\\C:\\Users\\a\\QuorlSSH";
    const std::tuple<std::optional<std::u16string>, std::optional<std::u16string>, std::string> cases[] = {
        {folder, folder + u"\\http-pipe.allow", "true"},
        {folder + u"\\", folder + u"\\http-pipe.allow", "true"},
        {u"\\\\?\\C:\\", u"\\\\?\\C:\\http-pipe.allow", "true"},  // a root keeps its separator
        {folder + u"\\http-pipe.allow", folder + u"\\http-pipe.allow", "Could not open the named pipe allowlist."},
        {folder, folder + u"\\sub\\http-pipe.allow", "Could not open the named pipe allowlist."},
        {folder, folder + u"X\\http-pipe.allow", "Could not open the named pipe allowlist."},
        {folder, u"\\\\?\\D:\\elsewhere\\http-pipe.allow", "Could not open the named pipe allowlist."},
        {folder, folder + u"\\", "Could not open the named pipe allowlist."},
        {std::nullopt, folder + u"\\http-pipe.allow", "Could not open the named pipe allowlist."},
        {folder, std::nullopt, "Could not open the named pipe allowlist."},
    };
    for (const auto& [folderPath, filePath, expected] : cases) {
        FakeFiles files;
        files.folder.finalPath = folderPath;
        files.file.finalPath = filePath;
        EXPECT_EQ(Check(files), expected)
            << std::string(filePath.value_or(u"-").begin(), filePath.value_or(u"-").end());
    }
}

// The line rules: line feeds split, blanks (space, tab, CR, LF) trimmed, "#"
// lines skipped, the first match ends the reading; a bad entry fails only
// when it is reached. After the path an entry may name its server: blanks,
// "served-by", blanks and a SID in the system's own spelling, which repeats
// the SID of a name that carries one; the match answers with that SID.
TEST(FindAllowlistEntry, FollowsTheLineRules) {
    const std::string prefix = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";
    const std::string alphabet = "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";
    const std::string servedBy =
        "Named pipe allowlist entries may only add served-by and a SID such as S-1-5-18 after the pipe path.";
    const std::string mismatch = "A served-by in the named pipe allowlist must repeat the SID in the pipe name.";
    const std::pair<std::string, std::string> cases[] = {
        {"", "false"},
        {"\n\n  \t\r\n# only comments\n   # \\\\.\\pipe\\app\n", "false"},
        {"\\\\.\\pipe\\app", "true"},
        {"\\\\.\\pipe\\other\r\n\\\\.\\pipe\\app\r\n", "true"},
        {"  \t\\\\.\\pipe\\app \t\r", "true"},
        {"\\\\.\\pipe\\app2\n\\\\.\\pipe\\ap\n", "false"},
        {"\\\\.\\pipe\\x\r\\\\.\\pipe\\app", alphabet},  // a carriage return alone ends no line
        {"\\\\.\\pipe\\app # remark\n", servedBy},
        {"app\n\\\\.\\pipe\\app\n", prefix},
        {"\\\\.\\pipe\\app\napp\n\\\\.\\pipe\\x # remark\n", "true"},
        {"\\\\.\\pipe\\app\v\n", alphabet},          // trimming stops at a vertical tab,
        {"\f\\\\.\\pipe\\app\n", prefix},            // a form feed
        {"\xEF\xBB\xBF\\\\.\\pipe\\app\n", prefix},  // or a byte-order mark
        {"\\\\.\\PIPE\\App\t served-by \t S-1-5-21-1-2-3-1001 \r\n", "S-1-5-21-1-2-3-1001"},
        {"\\\\.\\pipe\\app served-by S-1-5-18\n\\\\.\\pipe\\app\n", "S-1-5-18"},
        {"\\\\.\\pipe\\other served-by S-1-5-18\n\\\\.\\pipe\\app\n", "true"},
        {"\\\\.\\pipe\\app\n\\\\.\\pipe\\x served-by S-1-05-18\n", "true"},  // never reached
        {"\\\\.\\pipe\\app served-by\n", servedBy},
        {"\\\\.\\pipe\\app served-byS-1-5-18\n", servedBy},
        {"\\\\.\\pipe\\app Served-By S-1-5-18\n", servedBy},
        {"\\\\.\\pipe\\app served-by s-1-5-18\n", servedBy},
        {"\\\\.\\pipe\\app served-by S-1-05-18\n", servedBy},
        {"\\\\.\\pipe\\app served-by S-1-5-18 # remark\n", servedBy},
        {"\\\\.\\pipe\\x.s-1-5-18 served-by S-1-5-19\n\\\\.\\pipe\\app\n", mismatch},
    };
    for (const auto& [content, outcome] : cases) {
        std::optional<AllowlistEntry> entry;
        const std::string message = MessageOf([&] { entry = FindAllowlistEntry(content, kPipe); });
        const std::string found = !entry ? "false" : entry->servedBy.empty() ? "true" : entry->servedBy;
        EXPECT_EQ(message == "(no error)" ? found : message, outcome) << content;
    }
}
