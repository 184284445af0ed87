// The allowlist read from real files in the Wine prefix: missing folder and
// file, sharing, the size limit and what Wine lets a test set of file
// security. Links cannot be tested here: Wine follows Unix links and never
// reports a reparse point (the rule is tested natively).

#include <gtest/gtest.h>

#include <windows.h>

#include "allowlist/allowlist_win32.h"
#include "allowlist/control_file_win32.h"
#include "os/handles_win32.h"
#include "support/error_message.h"
#include "support/temp_folder_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

const std::string kPipe = "\\\\.\\pipe\\qsb-listed";

WideString Wide(const std::wstring& path) { return FromWin(path.c_str(), path.size()); }

std::wstring User() {
    const WideString sid = CurrentUserSid();
    return std::wstring(sid.begin(), sid.end());
}

// A QuorlSSH folder inside a fresh temporary folder, and the file path in it.
struct AllowlistPlace {
    TempFolder root{L"allow"};
    std::wstring folder = root.Path() + L"\\QuorlSSH";
    std::wstring file = folder + L"\\http-pipe.allow";

    std::string Check(const std::string& request = kPipe) {
        bool listed = false;
        const std::string message = MessageOf([&] { listed = IsPipeAllowlisted(request, Wide(file)); });
        if (message != "(no error)") return message;
        return listed ? "true" : "false";
    }
};

}  // namespace

TEST(AllowlistOnWine, AMissingFolderOrFileListsNothing) {
    AllowlistPlace place;
    EXPECT_EQ(place.Check(), "false");
    EXPECT_EQ(MessageOf([&] { RequirePipeAllowlisted(kPipe, Wide(place.file)); }),
              "This named pipe is not in the HTTP allowlist.");
    MakeFolder(place.folder);
    EXPECT_EQ(place.Check(), "false");
}

// While another handle holds the file open for writing the check fails.
TEST(AllowlistOnWine, AFileOpenForWritingCannotBeChecked) {
    AllowlistPlace place;
    MakeFolder(place.folder);
    WriteTestFile(place.file, kPipe + "\n");
    {
        UniqueHandle writer(::CreateFileW(place.file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.held());
        EXPECT_EQ(place.Check(), "Could not open the named pipe allowlist.");
    }
    EXPECT_EQ(place.Check(), "true");
}

TEST(AllowlistOnWine, ReadsUpTo65536Bytes) {
    AllowlistPlace place;
    MakeFolder(place.folder);
    const std::string exact = kPipe + "\n" + std::string(65536 - kPipe.size() - 1, '#');
    WriteTestFile(place.file, exact);
    EXPECT_EQ(place.Check(), "true");
    WriteTestFile(place.file, exact + "#");
    EXPECT_EQ(place.Check(), "Named pipe allowlist is too large.");
}

// Wine keeps no descriptor for files: it reports the user as owner and a DACL
// made from the Unix mode, and turns a DACL that is set into a mode. So only
// "everybody may write" versus "everybody may read" can be made here; owners
// and other principals are tested natively.
void SetDacl(const std::wstring& path, const std::wstring& sddl) {
    SddlDescriptor descriptor(sddl);
    ASSERT_TRUE(
        ::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.Attributes()->lpSecurityDescriptor));
}

TEST(AllowlistOnWine, RefusesAFolderOrFileThatEverybodyMayWrite) {
    const std::wstring everybodyWrites = L"D:(A;;FA;;;" + User() + L")(A;;FA;;;SY)(A;;FA;;;WD)";
    const std::wstring everybodyAddsFiles = L"D:(A;;FA;;;" + User() + L")(A;;FA;;;SY)(A;;0x2;;;WD)";
    const std::wstring everybodyReads = L"D:(A;;FA;;;" + User() + L")(A;;FA;;;SY)(A;;0x1200A9;;;WD)";
    {
        AllowlistPlace place;
        MakeFolder(place.folder);
        SetDacl(place.folder, everybodyAddsFiles);
        // The folder is judged before the file is looked for.
        EXPECT_EQ(place.Check(), "Named pipe allowlist is writable by another principal.");
        SetDacl(place.folder, everybodyReads);
        EXPECT_EQ(place.Check(), "false");
    }
    {
        AllowlistPlace place;
        MakeFolder(place.folder);
        WriteTestFile(place.file, kPipe + "\n");
        SetDacl(place.file, everybodyWrites);
        EXPECT_EQ(place.Check(), "Named pipe allowlist is writable by another principal.");
        SetDacl(place.file, everybodyReads);
        EXPECT_EQ(place.Check(), "true");
    }
}

// "...\http-pipe.allow\." opens the file itself: its folder must be derived
// from the path the system opens, so a folder everybody may write is still
// judged. The same path under a trusted folder still lists the pipe.
TEST(AllowlistOnWine, JudgesTheRealFolderOfAPathEndingInADot) {
    const std::wstring everybodyWrites = L"D:(A;;FA;;;" + User() + L")(A;;FA;;;SY)(A;;FA;;;WD)";
    AllowlistPlace place;
    MakeFolder(place.folder);
    WriteTestFile(place.file, kPipe + "\n");
    const std::wstring dotted = place.file + L"\\.";
    const auto check = [&] {
        bool listed = false;
        const std::string message = MessageOf([&] { listed = IsPipeAllowlisted(kPipe, Wide(dotted)); });
        return message == "(no error)" ? (listed ? "true" : "false") : message;
    };
    EXPECT_EQ(check(), "true");
    SetDacl(place.folder, everybodyWrites);
    EXPECT_EQ(check(), "Named pipe allowlist is writable by another principal.");
}

// Repeated checks leave the handle count where it was.
TEST(AllowlistOnWine, LeavesNoHandlesBehind) {
    AllowlistPlace place;
    MakeFolder(place.folder);
    WriteTestFile(place.file, "\\\\.\\pipe\\first\n" + kPipe + "\n");
    ASSERT_EQ(place.Check(), "true");
    DWORD before = 0, after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(place.Check(i % 2 ? kPipe : "\\\\.\\pipe\\absent"), i % 2 ? "true" : "false");
    }
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

TEST(VerifyTrustedFileHandle, AcceptsTheUsersOwnTemporaryFolder) {
    TempFolder folder(L"trust");
    UniqueHandle handle(::CreateFileW(folder.Path().c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, 7, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    ASSERT_TRUE(handle.held());
    EXPECT_EQ(MessageOf([&] { VerifyTrustedFileHandle(handle.get()); }), "(no error)");
}
