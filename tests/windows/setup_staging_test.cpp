// The setup staging for real, under Wine: the directory, its DACL read back
// as SDDL, the sharing locks on the directory and on the installer file, the
// signature check of an unsigned file, and removal on every path.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cwctype>
#include <memory>
#include <optional>
#include <vector>

#include "pipes/object_security_win32.h"
#include "setup/setup_staging.h"
#include "setup/setup_staging_win32.h"
#include "support/child_process_win32.h"
#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "support/setup_support_win32.h"
#include "support/temp_folder_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

std::wstring TemporaryFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    return std::wstring(buffer, length);
}

std::wstring CommonAppData() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) return L"(none)";
    return buffer;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsSetupIdentifier(const std::wstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const wchar_t c = text[i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
    }
    return true;
}

// Sets an environment variable of this process for one scope and restores it
// on every path.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t buffer[32768];
        const DWORD length = ::GetEnvironmentVariableW(name, buffer, 32768);
        if (length > 0 && length < 32768) old_ = std::wstring(buffer, length);
        ::SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { ::SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

// The owner of a descriptor (when it names one), whether its DACL is
// protected and its entries as "type flags mask SID" lines; the order of the rights in SDDL text differs
// between systems ("GRGX" or "GXGR"), the masks do not.
std::wstring DescribeDacl(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        return L"(no DACL)";
    }
    std::wstring text;
    PSID owner = nullptr;
    if (::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr) {
        LPWSTR ownerText = nullptr;
        if (!::ConvertSidToStringSidW(owner, &ownerText)) return L"(bad owner)";
        const UniqueLocalMemory ownedOwner(ownerText);
        text = L"owner " + std::wstring(ownerText) + L"\n";
    }
    text += (control & SE_DACL_PROTECTED) ? L"protected\n" : L"inherits\n";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return L"(bad ACE)";
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        LPWSTR sid = nullptr;
        if (!::ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid)) return L"(bad SID)";
        const UniqueLocalMemory ownedSid(sid);
        wchar_t line[160];
        std::swprintf(line, 160, L"%u %u 0x%08lx %ls\n", allowed->Header.AceType, allowed->Header.AceFlags,
                      static_cast<unsigned long>(allowed->Mask), sid);
        text += line;
    }
    return text;
}

// The owner and DACL of a descriptor as the clean-up reads them.
ObjectSecurity ReadBack(PSECURITY_DESCRIPTOR descriptor) {
    QueriedSecurity security;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &security.owner, &defaulted) ||
        !::GetSecurityDescriptorDacl(descriptor, &present, &security.dacl, &defaulted)) {
        security.status = ::GetLastError();
    }
    return DescribeSecurity(security);
}

}  // namespace

// The descriptor the directory is created with names its owner explicitly,
// the user when not elevated and Administrators when elevated, and holds
// exactly the protected DACL: full access for the user when not elevated,
// read and execute only when elevated, and read and execute for Owner Rights,
// which takes away the owner's implicit right to rewrite the DACL; entries
// inherited by files and folders inside. Administrators keep full access, so
// the elevated program can still delete what it staged. Read back, the
// elevated descriptor is what the elevated clean-up takes for a leftover of
// its own, and the user's is not: Wine keeps no descriptor on a folder (it
// reports every file of its Unix user as owned by the user), so this is
// where the two meet under Wine.
TEST(SetupStaging, CreatesTheDirectoryWithAnExplicitOwnerAndTheProtectedDacl) {
    const std::wstring sid = AsWstring(CurrentUserSid());
    const std::wstring dacl = L"protected\n0 3 0x001f01ff S-1-5-18\n0 3 0x001f01ff S-1-5-32-544\n";
    const std::wstring ownerRights = L"0 3 0xa0000000 S-1-3-4\n";
    const UniqueLocalMemory ordinary = SetupStagingDescriptor(false, CurrentUserSid());
    EXPECT_EQ(DescribeDacl(ordinary.get()),
              L"owner " + sid + L"\n" + dacl + L"0 3 0x001f01ff " + sid + L"\n" + ownerRights);
    const UniqueLocalMemory elevated = SetupStagingDescriptor(true, CurrentUserSid());
    EXPECT_EQ(DescribeDacl(elevated.get()),
              L"owner S-1-5-32-544\n" + dacl + L"0 3 0xa0000000 " + sid + L"\n" + ownerRights);

    const std::string user = WideToUtf8(CurrentUserSid());
    EXPECT_TRUE(IsOwnSetupStaging(true, ReadBack(elevated.get()), user));
    EXPECT_FALSE(IsOwnSetupStaging(true, ReadBack(ordinary.get()), user));
    EXPECT_TRUE(IsOwnSetupStaging(false, ReadBack(ordinary.get()), user));
}

// Not elevated: a fresh directory named by a new identifier in the temporary
// folder, that grants nothing to anyone else; gone once the staging object is.
// Wine keeps no descriptor on files (it maps the DACL to Unix mode bits and
// reports a DACL derived from them), so the read-back can only show that no
// access for Everyone was created, as it would be for a default directory.
TEST(SetupStaging, CreatesAPrivateDirectoryUnderTheTemporaryFolder) {
    std::wstring directory;
    {
        SetupStaging staging(false);
        directory = AsWstring(staging.DirectoryPath());
        const std::wstring identifier = AsWstring(staging.Identifier());
        EXPECT_TRUE(IsSetupIdentifier(identifier)) << identifier;
        EXPECT_EQ(directory, TemporaryFolder() + L"QuorlTholm-Setup-" + identifier);
        EXPECT_EQ(::GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
        const std::wstring dacl = DaclAsSddl(directory);
        EXPECT_EQ(dacl.rfind(L"D:", 0), 0u) << dacl;
        for (const wchar_t* other : {L";;;WD)", L";;;BU)", L";;;AU)"})
            EXPECT_EQ(dacl.find(other), std::wstring::npos) << dacl;
    }
    EXPECT_FALSE(Exists(directory));
}

// Elevated: under common application data, and removed the same way.
TEST(SetupStaging, CreatesTheElevatedDirectoryUnderCommonApplicationData) {
    std::wstring directory;
    {
        SetupStaging staging(true);
        directory = AsWstring(staging.DirectoryPath());
        EXPECT_EQ(directory, CommonAppData() + L"\\QuorlTholm-Setup-" + AsWstring(staging.Identifier()));
        EXPECT_TRUE(Exists(directory));
        const std::wstring dacl = DaclAsSddl(directory);
        for (const wchar_t* other : {L";;;WD)", L";;;BU)", L";;;AU)"})
            EXPECT_EQ(dacl.find(other), std::wstring::npos) << dacl;
    }
    EXPECT_FALSE(Exists(directory));
}

// Whatever the run left inside, nested folders and files, is removed with
// the directory (through handles, by the program's own walk).
TEST(SetupStaging, RemovesEverythingLeftInside) {
    std::wstring directory;
    {
        SetupStaging staging(false);
        directory = AsWstring(staging.DirectoryPath());
        MakeFolder(directory + L"\\a");
        MakeFolder(directory + L"\\a\\b");
        WriteTestFile(directory + L"\\a\\b\\deep.txt", "deep");
        WriteTestFile(directory + L"\\a\\mid.txt", "mid");
        WriteTestFile(directory + L"\\top.txt", "top");
    }
    EXPECT_FALSE(Exists(directory));
}

namespace {

WideString W(const std::wstring& text) { return FromWin(text.c_str(), text.size()); }

std::wstring NewGuidText() {
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// A folder as an earlier run would have left it, created `ageMinutes` ago,
// with a file inside; removed by its owner when the test ends, whatever
// happened.
struct Leftover {
    Leftover(const std::wstring& root, const std::wstring& name, int ageMinutes)
        : name(name), path(root + (root.back() == L'\\' ? L"" : L"\\") + name), tree(W(path)) {
        MakeFolder(path);
        WriteTestFile(path + L"\\setup.exe", "MZ");
        UniqueHandle folder(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER value{};
        value.LowPart = now.dwLowDateTime;
        value.HighPart = now.dwHighDateTime;
        value.QuadPart -= static_cast<ULONGLONG>(ageMinutes) * 600000000ULL;
        const FILETIME created{value.LowPart, value.HighPart};
        // Wine cannot keep a creation time of its own: it reports one made from
        // the Unix times, so the write and access times are set back too.
        ::SetFileTime(folder.get(), &created, &created, &created);
    }
    bool Exists() const { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
    // The owner's SID text, read back through a handle on the folder.
    std::string Owner() const {
        const UniqueHandle folder(
            ::CreateFileW(path.c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return DescribeSecurity(QuerySecurity(folder.get())).owner.value_or("(none)");
    }

    std::wstring name;
    std::wstring path;
    UniqueDirectoryTree tree;
};

}  // namespace

// Only folders of the exact naming pattern, older than the 15-minute setup
// deadline, not held by a live run and made by a run of this user are
// removed. Not elevated, that is a folder the user owns. Elevated, it is one
// owned by Administrators, which only an elevated run can make: the user's
// backdated folder, its owner read back, is a look-alike the clean-up, run as
// an administrator, leaves alone with its task. (Wine cannot keep a folder
// owned by Administrators, so the elevated run's own leftover is judged from
// its descriptor in CreatesTheDirectoryWithAnExplicitOwnerAndTheProtectedDacl.)
// A younger folder, names that merely resemble the pattern and a folder a
// live run holds are all left alone.
TEST(RemoveSetupLeftovers, RemovesOnlyStaleFoldersOfItsOwnRuns) {
    for (const bool elevated : {false, true}) {
        const std::wstring root = elevated ? CommonAppData() : TemporaryFolder();
        const std::wstring guid = NewGuidText();
        std::wstring lower = NewGuidText();
        for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
        Leftover stale(root, L"QuorlTholm-Setup-" + guid, 16);
        Leftover young(root, L"QuorlTholm-Setup-" + NewGuidText(), 14);
        Leftover held(root, L"QuorlTholm-Setup-" + NewGuidText(), 60);
        const std::vector<std::wstring> lookalikes = {
            L"QuorlTholm-Setup-" + lower, L"QuorlTholm-Setup-" + NewGuidText() + L"x",
            L"QuorlTholm-Setup-" + NewGuidText().substr(1, 36), L"quortholm-setup-" + NewGuidText(),
            L"qsb-test-QuorlTholm-Setup-" + NewGuidText()};
        std::vector<std::unique_ptr<Leftover>> others;
        for (const std::wstring& name : lookalikes) others.push_back(std::make_unique<Leftover>(root, name, 60));
        const UniqueHandle liveLock(::CreateFileW(held.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(liveLock.held());
        EXPECT_EQ(stale.Owner(), WideToUtf8(CurrentUserSid())) << elevated;

        TestScheduler scheduler;
        const TestTask staleTask(scheduler, W(stale.name));

        RemoveSetupLeftovers(elevated);

        EXPECT_EQ(stale.Exists(), elevated) << elevated;
        EXPECT_TRUE(young.Exists()) << elevated;
        EXPECT_TRUE(held.Exists()) << elevated;
        for (const auto& other : others)
            EXPECT_TRUE(other->Exists()) << std::string(other->name.begin(), other->name.end());
        EXPECT_TRUE(RootTaskExists(AsWstring(staleTask.Name()))) << elevated;
    }
}

// Two runs at once never share a directory.
TEST(SetupStaging, GivesEachRunItsOwnDirectory) {
    SetupStaging first(false);
    SetupStaging second(false);
    EXPECT_NE(first.Identifier(), second.Identifier());
    EXPECT_NE(first.DirectoryPath(), second.DirectoryPath());
}

// While staged, the directory can be neither deleted nor renamed.
TEST(SetupStaging, LockedDirectoryCannotBeDeletedOrRenamed) {
    SetupStaging staging(false);
    const std::wstring directory = AsWstring(staging.DirectoryPath());
    const std::wstring elsewhere = directory + L"-moved";
    EXPECT_FALSE(::RemoveDirectoryW(directory.c_str()));
    EXPECT_FALSE(::MoveFileW(directory.c_str(), elsewhere.c_str()));
    EXPECT_TRUE(Exists(directory));
    EXPECT_FALSE(Exists(elsewhere));
    if (Exists(elsewhere)) ::RemoveDirectoryW(elsewhere.c_str());
}

// A temporary folder path that does not fit in 260 units is refused.
TEST(SetupStaging, RefusesATemporaryFolderPathThatDoesNotFit) {
    const std::wstring longPath = L"C:\\" + std::wstring(270, L'x') + L"\\";
    const ScopedEnvironment tmp(L"TMP", longPath);
    const ScopedEnvironment temp(L"TEMP", longPath);
    EXPECT_EQ(MessageOf([] { SetupStaging staging(false); }), "Could not locate the setup staging directory.");
}

// The installer file is new and exclusive: nobody else can open it, and a
// second file of the same name cannot be created.
TEST(StagedSetupFile, IsCreatedExclusively) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    EXPECT_TRUE(file.write.held());
    EXPECT_EQ(AsWstring(file.path), AsWstring(staging.DirectoryPath()) + L"\\setup.exe");

    UniqueHandle other(::CreateFileW(WinStr(file.path), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    EXPECT_FALSE(other.held());
    EXPECT_EQ(MessageOf([&] { CreateStagedSetupFile(staging); }), "Could not create the setup file.");
}

// After relocking, the verified bytes can be read but not written, deleted or
// moved through any other handle; the write handle is closed.
TEST(StagedSetupFile, RelockedFileCannotBeWrittenMovedOrDeleted) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    WriteAll(file.write.get(), "MZ installer bytes");
    const UniqueHandle read = LockStagedSetup(file.write, file.path);
    EXPECT_FALSE(file.write.held());
    EXPECT_TRUE(read.held());

    const std::wstring path = AsWstring(file.path);
    UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    EXPECT_FALSE(writer.held());
    EXPECT_FALSE(::DeleteFileW(path.c_str()));
    EXPECT_FALSE(::MoveFileW(path.c_str(), (path + L".moved").c_str()));
    EXPECT_EQ(ReadWholeFile(path), "MZ installer bytes");
}

// The name reopened must lead to the file that was written: another file in
// its place, even with the same bytes, is refused.
TEST(StagedSetupFile, RefusesAReopenedFileThatIsNotTheOneWritten) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    WriteAll(file.write.get(), "MZ installer bytes");
    const WideString other = file.path + u".other";
    WriteTestFile(AsWstring(other), "MZ installer bytes");
    EXPECT_EQ(MessageOf([&] { LockStagedSetup(file.write, other); }), "Quorl Tholm setup could not be verified.");
}

// The file must still be there to be relocked.
TEST(StagedSetupFile, ReportsAFileThatCannotBeRelocked) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    file.write.reset();
    ASSERT_TRUE(::DeleteFileW(WinStr(file.path)));
    UniqueHandle none;
    EXPECT_EQ(MessageOf([&] { LockStagedSetup(none, file.path); }), "Could not lock the downloaded setup file.");
}

// A file without a signature is refused with the one verification message.
TEST(VerifySetupPublisher, RefusesAnUnsignedFile) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    WriteAll(file.write.get(), ReadWholeFile(TestProgramFolder() + L"\\fake-setup-succeeds.exe"));
    const UniqueHandle read = LockStagedSetup(file.write, file.path);
    EXPECT_EQ(MessageOf([&] { VerifySetupPublisher(file.path, read.get()); }),
              "Quorl Tholm setup does not have a trusted signature from the expected publisher.");
}
