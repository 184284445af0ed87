// The allowlist read from real files in the Wine prefix: missing folder and
// file, sharing, and what Wine lets a test set of file security. Wine keeps no
// descriptor for files: it reports the user as owner and a DACL made from the
// Unix mode, and turns a DACL that is set into a mode, so only "everybody may
// write" versus "everybody may read" can be made here; owners, other
// principals, the size limit and links (Wine follows Unix links and never
// reports a reparse point) are tested natively.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "allowlist/allowlist_win32.h"
#include "os/handles_win32.h"
#include "support/error_message.h"
#include "support/temp_folder_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

// The QuorlSSH folder and its file, changed step by step, and the listed
// pipe checked through the file's path or through "...\http-pipe.allow\.",
// which opens the file itself: its folder must be derived from the path the
// system opens. While another handle holds the file open for writing it cannot
// be checked; the folder is judged before the file is looked for.
TEST(AllowlistOnWine, ReadsTheRealFileAndJudgesItsRealFolder) {
    const std::string pipe = "\\\\.\\pipe\\qsb-listed";
    const WideString sid = CurrentUserSid();
    const std::wstring user(sid.begin(), sid.end());
    const std::string refused = "Named pipe allowlist is writable by another principal.";
    TempFolder root(L"allow");
    const std::wstring folder = root.Path() + L"\\QuorlSSH";
    const std::wstring file = folder + L"\\http-pipe.allow";
    const std::wstring dotted = file + L"\\.";
    const auto check = [&](const std::wstring& path) {
        bool listed = false;
        const std::string message =
            MessageOf([&] { listed = IsPipeAllowlisted(pipe, FromWin(path.c_str(), path.size())); });
        return message == "(no error)" ? (listed ? "true" : "false") : message;
    };
    // Everybody may: write (FA), add files (0x2), or read (0x1200A9).
    const auto setDacl = [&](const std::wstring& path, const std::wstring& everybody) {
        const std::wstring sddl = L"D:(A;;FA;;;" + user + L")(A;;FA;;;SY)(A;;" + everybody + L";;;WD)";
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                           nullptr));
        const UniqueLocalMemory owned(descriptor);
        ASSERT_TRUE(::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor));
    };
    EXPECT_EQ(check(file), "false");
    MakeFolder(folder);
    EXPECT_EQ(check(file), "false");
    WriteTestFile(file, "\\\\.\\pipe\\first\n" + pipe + "\n");
    {
        UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(check(file), "Could not open the named pipe allowlist.");
    }
    EXPECT_EQ(check(dotted), "true");
    setDacl(folder, L"0x2");
    EXPECT_EQ(check(file), refused);
    EXPECT_EQ(check(dotted), refused);
    setDacl(folder, L"0x1200A9");
    EXPECT_EQ(check(file), "true");
    setDacl(file, L"FA");
    EXPECT_EQ(check(dotted), refused);
    setDacl(file, L"0x1200A9");
    EXPECT_EQ(check(file), "true");
}
