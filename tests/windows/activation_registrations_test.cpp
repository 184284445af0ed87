// The activation registrations read from the real local application data
// folder of the Wine prefix. The folder is made by the test and removed on
// every path; the test is skipped when it exists already (it is not ours).

#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>

#include "activation/activation_registrations_win32.h"
#include "os/handles_win32.h"
#include "support/error_message.h"
#include "support/temp_folder_win32.h"

namespace {

std::wstring LocalAppDataFolder() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) path = folder;
    ::CoTaskMemFree(folder);
    return path;
}

// Removes the folder with everything in it when the test ends, however it ends.
struct RemoveOnExit {
    std::wstring path;
    ~RemoveOnExit() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path), ignored);
    }
};

}  // namespace

TEST(LoadActivationRegistrationsOnWine, ReadsTheUsersFileAnewEachTime) {
    const std::wstring localAppData = LocalAppDataFolder();
    ASSERT_FALSE(localAppData.empty());
    const std::wstring folder = localAppData + L"\\org.quorlssh";
    const std::wstring file = folder + L"\\activations.tsv";
    if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "org.quorlssh exists already";

    EXPECT_TRUE(LoadActivationRegistrations().empty());
    MakeFolder(folder);
    RemoveOnExit cleanup{folder};
    EXPECT_TRUE(LoadActivationRegistrations().empty());

    WriteTestFile(file, "\\\\.\\PIPE\\Qsb-App\t\\Qsb\\Start \xEA\xB9\x80\r\n");
    const ActivationRegistrations table = LoadActivationRegistrations();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table.at("\\\\.\\pipe\\qsb-app"), u"\\Qsb\\Start \uAE40");

    {
        UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.held());
        EXPECT_EQ(MessageOf([] { LoadActivationRegistrations(); }), "Could not open task activation registrations.");
    }
    WriteTestFile(file, "\\\\.\\pipe\\qsb-app\t\\task\n\\\\.\\pipe\\QSB-APP\t\\other\n");
    EXPECT_EQ(MessageOf([] { LoadActivationRegistrations(); }), "Duplicate named pipe in activations.tsv.");
}
