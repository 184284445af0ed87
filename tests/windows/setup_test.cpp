// The setup for real under Wine: the staging directory's descriptor, locks
// and removal, the installer file's sharing and identity, the clean-up of
// earlier runs, the temporary task, and the flow with stand-in installers run
// as real child processes. The naming, ownership, file identity, publisher
// and wait rules are native tables (tests/unit/setup_rules_test.cpp), the
// download loop too (tests/unit/setup_download_test.cpp); the download over
// real HTTPS is setup_https_test.cpp's.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwctype>
#include <functional>
#include <set>
#include <vector>

#include "pipes/object_security_win32.h"
#include "setup/setup_download.h"
#include "setup/setup_download_win32.h"
#include "setup/setup_run_win32.h"
#include "setup/setup_staging.h"
#include "setup/setup_staging_win32.h"
#include "setup/setup_task_win32.h"
#include "support/child_process_win32.h"
#include "support/error_message.h"
#include "support/scheduled_task_win32.h"
#include "support/temp_folder_win32.h"
#include "text/current_user_win32.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

std::wstring W(const WideString& text) { return std::wstring(text.begin(), text.end()); }
WideString U(const std::wstring& text) { return FromWin(text.c_str(), text.size()); }
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteAll(HANDLE file, const std::string& bytes) {
    DWORD wrote = 0;
    EXPECT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr));
    EXPECT_EQ(wrote, bytes.size());
}

std::wstring NewGuidText() {
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// The folder staging goes under, with its final separator.
std::wstring StagingRoot(bool elevated) {
    wchar_t buffer[MAX_PATH] = {};
    if (!elevated) return std::wstring(buffer, ::GetTempPathW(MAX_PATH, buffer));
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer);
    return std::wstring(buffer) + L"\\";
}

// Every "QuorlTholm-Setup-*" entry under both staging roots.
std::set<std::wstring> StagingDirectoriesNow() {
    std::set<std::wstring> found;
    for (const bool elevated : {false, true}) {
        WIN32_FIND_DATAW entry{};
        const HANDLE search = ::FindFirstFileW((StagingRoot(elevated) + L"QuorlTholm-Setup-*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) continue;
        do found.insert(StagingRoot(elevated) + entry.cFileName);
        while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    return found;
}

bool TaskExists(TestScheduler& scheduler, const WideString& name) {
    const UniqueBstr bstr(::SysAllocString(WinStr(name)));
    UniqueCom<IRegisteredTask> task;
    return SUCCEEDED(scheduler.root.get()->GetTask(bstr.get(), task.put()));
}

}  // namespace

// The descriptor the directory is created with names its owner explicitly,
// the user when not elevated and Administrators when elevated, and holds
// exactly the protected DACL: full access for the user when not elevated,
// read and execute only when elevated, and read and execute for Owner Rights,
// which takes away the owner's implicit right to rewrite the DACL; entries
// inherited by files and folders inside. Read back, the elevated descriptor
// is what the elevated clean-up takes for a leftover of its own, and the
// user's is not: Wine keeps no descriptor on a folder, so this is where the
// two meet under Wine.
TEST(SetupStaging, CreatesTheDirectoryWithAnExplicitOwnerAndTheProtectedDacl) {
    const std::string user = WideToUtf8(CurrentUserSid());
    for (const bool elevated : {false, true}) {
        const UniqueLocalMemory descriptor = SetupStagingDescriptor(elevated, CurrentUserSid());
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        QueriedSecurity queried;
        BOOL present = FALSE, defaulted = FALSE;
        ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision) &&
                    ::GetSecurityDescriptorOwner(descriptor.get(), &queried.owner, &defaulted) &&
                    ::GetSecurityDescriptorDacl(descriptor.get(), &present, &queried.dacl, &defaulted));
        const ObjectSecurity security = DescribeSecurity(queried);
        std::string aces;
        for (const auto& ace : security.aces) {
            aces += ace ? std::to_string(ace->type) + " " + std::to_string(ace->flags) + " " +
                              std::to_string(ace->mask) + " " + ace->sid.value_or("?") + "\n"
                        : "(unread)\n";
        }
        EXPECT_TRUE(control & SE_DACL_PROTECTED);
        EXPECT_EQ(security.owner, elevated ? "S-1-5-32-544" : user);
        // 2032127 is FILE_ALL_ACCESS (0x1F01FF), 2684354560 GENERIC_READ | GENERIC_EXECUTE (0xA0000000).
        EXPECT_EQ(aces, "0 3 2032127 S-1-5-18\n0 3 2032127 S-1-5-32-544\n0 3 " +
                            std::string(elevated ? "2684354560 " : "2032127 ") + user + "\n0 3 2684354560 S-1-3-4\n");
        EXPECT_EQ(IsOwnSetupStaging(true, security, user), elevated);
        EXPECT_TRUE(IsOwnSetupStaging(elevated, security, user));
    }
}

// Not elevated under the temporary folder, elevated under common application
// data: a fresh directory named by a new identifier, its own for each run,
// that can be neither deleted nor renamed while staged, and that is gone,
// with whatever the run left inside, once the staging object is.
TEST(SetupStaging, LocksAFreshDirectoryPerRunAndRemovesItWithAllInside) {
    for (const bool elevated : {false, true}) {
        std::wstring directory;
        {
            const SetupStaging staging(elevated);
            const SetupStaging other(elevated);
            directory = W(staging.DirectoryPath());
            EXPECT_EQ(directory, StagingRoot(elevated) + W(SetupRunName(staging.Identifier())));
            EXPECT_TRUE(IsSetupRunName(SetupRunName(staging.Identifier()))) << W(staging.Identifier()).size();
            EXPECT_NE(other.DirectoryPath(), staging.DirectoryPath());
            // Made with the descriptor above, it grants nothing to other users: a
            // directory made with the default one would (Wine reads its DACL from
            // the mode bits, where the default lets everyone read).
            const UniqueHandle handle(::CreateFileW(directory.c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            const ObjectSecurity security = DescribeSecurity(QuerySecurity(handle.get()));
            EXPECT_TRUE(security.obtained && security.hasDacl) << elevated;
            for (const auto& ace : security.aces) {
                for (const char* others : {"S-1-1-0", "S-1-5-11", "S-1-5-32-545"})
                    EXPECT_NE(ace ? ace->sid.value_or("?") : "(unread)", others) << elevated;
            }
            EXPECT_FALSE(::RemoveDirectoryW(directory.c_str()));
            EXPECT_FALSE(::MoveFileW(directory.c_str(), (directory + L"-moved").c_str()));
            MakeFolder(directory + L"\\a");
            MakeFolder(directory + L"\\a\\b");
            WriteTestFile(directory + L"\\a\\b\\deep.txt", "deep");
            WriteTestFile(directory + L"\\top.txt", "top");
        }
        EXPECT_FALSE(Exists(directory)) << elevated;
        ::RemoveDirectoryW((directory + L"-moved").c_str());
    }
}

// The installer file is new and exclusive while written; relocked, the
// verified bytes can be read but not written, deleted or moved through any
// other handle, and the write handle is closed.
TEST(StagedSetupFile, IsExclusiveWhileWrittenAndReadOnlyOnceRelocked) {
    const SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    const std::wstring path = W(file.path);
    EXPECT_EQ(path, W(staging.DirectoryPath()) + L"\\setup.exe");
    const auto opens = [&](DWORD access) {
        return UniqueHandle(::CreateFileW(path.c_str(), access, 7, nullptr, OPEN_EXISTING, 0, nullptr)).held();
    };
    EXPECT_FALSE(opens(GENERIC_READ));
    WriteAll(file.write.get(), "MZ installer bytes");
    const UniqueHandle read = LockStagedSetup(file.write, file.path);
    EXPECT_FALSE(file.write.held());
    EXPECT_TRUE(read.held());
    EXPECT_FALSE(opens(GENERIC_WRITE));
    EXPECT_FALSE(::DeleteFileW(path.c_str()));
    EXPECT_FALSE(::MoveFileW(path.c_str(), (path + L".moved").c_str()));
    EXPECT_EQ(ReadTestFile(path), "MZ installer bytes");
}

// Each failure of staging a user can meet, in its words: a second installer
// file, another file (with the same bytes) reopened in place of the one
// written, the file gone before the relock, a temporary folder path that does
// not fit in 260 units.
TEST(SetupStaging, ReportsEachFailureInItsWords) {
    const auto staged = [](const std::function<void(const SetupStaging&, StagedSetupFile&)>& then) {
        return [then] {
            const SetupStaging staging(false);
            StagedSetupFile file = CreateStagedSetupFile(staging);
            WriteAll(file.write.get(), "MZ installer bytes");
            then(staging, file);
        };
    };
    // TMP is the first place the temporary folder is looked up.
    const auto longTemporaryFolder = [] {
        wchar_t tmp[MAX_PATH] = {};
        ::GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
        ::SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(270, L'x') + L"\\").c_str());
        const std::string message = MessageOf([] { SetupStaging staging(false); });
        ::SetEnvironmentVariableW(L"TMP", *tmp ? tmp : nullptr);
        throw ProgramError(message);
    };
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {staged([](const SetupStaging& staging, StagedSetupFile&) { CreateStagedSetupFile(staging); }),
         "Could not create the setup file."},
        {staged([](const SetupStaging&, StagedSetupFile& file) {
             WriteTestFile(W(file.path) + L".other", "MZ installer bytes");
             LockStagedSetup(file.write, file.path + u".other");
         }),
         "Quorl Tholm setup could not be verified."},
        {staged([](const SetupStaging&, StagedSetupFile& file) {
             file.write.reset();
             ::DeleteFileW(WinStr(file.path));
             LockStagedSetup(file.write, file.path);
         }),
         "Could not lock the downloaded setup file."},
        {longTemporaryFolder, "Could not locate the setup staging directory."},
    };
    for (const auto& [action, message] : rows) EXPECT_EQ(MessageOf(action), message);
}

namespace {

// A folder as an earlier run would have left it, created `ageMinutes` ago,
// with a file inside; removed when the test ends, whatever happened.
struct Leftover {
    Leftover(const std::wstring& root, const std::wstring& name, int ageMinutes)
        : name(name), path(root + name), tree(U(path)) {
        MakeFolder(path);
        WriteTestFile(path + L"\\setup.exe", "MZ");
        UniqueHandle folder(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER value{{now.dwLowDateTime, now.dwHighDateTime}};
        value.QuadPart -= static_cast<ULONGLONG>(ageMinutes) * 600000000ULL;
        const FILETIME created{value.LowPart, value.HighPart};
        // Wine cannot keep a creation time of its own: it reports one made from
        // the Unix times, so the write and access times are set back too.
        ::SetFileTime(folder.get(), &created, &created, &created);
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
// backdated folder is a look-alike the clean-up, run as an administrator,
// leaves alone with its task. (Wine cannot keep a folder owned by
// Administrators, so the elevated run's own leftover is judged from its
// descriptor in CreatesTheDirectoryWithAnExplicitOwnerAndTheProtectedDacl.)
// A younger folder, a name that merely resembles the pattern and a folder a
// live run holds are all left alone.
TEST(RemoveSetupLeftovers, RemovesOnlyStaleFoldersOfItsOwnRuns) {
    for (const bool elevated : {false, true}) {
        const std::wstring root = StagingRoot(elevated);
        std::wstring lower = NewGuidText();
        for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
        const Leftover stale(root, L"QuorlTholm-Setup-" + NewGuidText(), 16);
        const Leftover young(root, L"QuorlTholm-Setup-" + NewGuidText(), 14);
        const Leftover held(root, L"QuorlTholm-Setup-" + NewGuidText(), 60);
        const Leftover lookalike(root, L"QuorlTholm-Setup-" + lower, 60);
        const UniqueHandle liveLock(::CreateFileW(held.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(liveLock.held());
        TestScheduler scheduler;
        const TestTask staleTask(scheduler, U(stale.name));

        RemoveSetupLeftovers(elevated);

        EXPECT_EQ(Exists(stale.path), elevated);
        EXPECT_TRUE(Exists(young.path) && Exists(held.path) && Exists(lookalike.path)) << elevated;
        EXPECT_TRUE(TaskExists(scheduler, staleTask.Name())) << elevated;
    }
}

// The temporary setup task against Wine's Task Scheduler, as far as it goes
// (registration works there, running a task does not, which is what a
// machine without a signed-in desktop user answers too). A name already taken
// is not overwritten (TASK_CREATE only) and the other task stays; an idle
// task of a leftover is removed; a registered task that cannot run is
// reported as needing a desktop sign-in and deleted before the run returns.
TEST(SetupTask, NeverReplacesATaskAndLeavesNoneBehind) {
    TestScheduler scheduler;
    const WideString identifier = U(NewGuidText());
    const WideString name = SetupRunName(identifier);
    const SetupTaskScheduler setup = OpenSetupTaskScheduler();
    const UniqueCom<ITaskDefinition> definition = NewSetupTaskDefinition(setup.service.get());
    ConfigureSetupTaskLimits(definition.get());
    ConfigureSetupTaskCommand(definition.get(), u"C:\\windows\\system32\\cmd.exe");
    const auto run = [&] {
        return MessageOf(
            [&] { RunSetupTaskDefinition(setup.root.get(), definition.get(), identifier, CurrentUserSid()); });
    };
    {
        const TestTask taken(scheduler, name);
        EXPECT_EQ(run(), "Could not register the ordinary-user setup task.");
        EXPECT_TRUE(TaskExists(scheduler, name));
        RemoveIdleSetupTask(name);
        EXPECT_FALSE(TaskExists(scheduler, name));
    }
    EXPECT_EQ(run(), "Sign in to the Windows desktop before installing Quorl Tholm.");
    EXPECT_FALSE(TaskExists(scheduler, name));
}

namespace {

// What the flow asked of its outward steps.
struct Calls {
    int direct = 0;
    int desktop = 0;
    std::wstring installerPath;
    std::wstring stagingDirectory;
    std::string verifiedBytes;
    std::vector<bool> leftoversFor;
    std::set<std::wstring> stagingAtLeftovers;
};

// Steps with a chosen elevation and installer bytes in place of the download
// and the signature check; both ways of running the installer are the real
// ones, recorded. The real removal of leftovers is tested above: here it
// could take a leftover of another test and change the folders compared.
SetupSteps StandInSteps(bool elevated, const std::string& installer, Calls& calls) {
    SetupSteps steps;
    steps.inspectElevation = [elevated] { return ProcessElevation{UniqueHandle(), elevated}; };
    steps.removeLeftovers = [&calls](bool forElevated) {
        calls.leftoversFor.push_back(forElevated);
        calls.stagingAtLeftovers = StagingDirectoriesNow();
    };
    steps.download = [installer](HANDLE file) { WriteAll(file, installer); };
    steps.verify = [&calls](const WideString& path, HANDLE) {
        calls.installerPath = W(path);
        calls.verifiedBytes = ReadTestFile(calls.installerPath);
    };
    steps.runDirectly = [&calls](const WideString& installerPath, const WideString& stagingDirectory) {
        ++calls.direct;
        calls.stagingDirectory = W(stagingDirectory);
        RunSetupDirectly(installerPath, stagingDirectory);
    };
    steps.runAsDesktopUser = [&calls](const WideString& installerPath, const WideString& identifier,
                                      const WideString& userSid) {
        ++calls.desktop;
        RunSetupAsDesktopUser(installerPath, identifier, userSid);
    };
    return steps;
}

}  // namespace

// Leftovers are removed first, for this run's elevation, before its staging
// exists; not elevated, the verified file itself is started with the silent
// switches in the staging directory (the stand-in checks both) and its exit
// code or a file that is no program is reported; elevated, the installer goes
// through a temporary task and never through CreateProcessW (Wine's Task
// Scheduler cannot set a task's principal, so the run stops at that step).
// Every failure before the run is reported in its step's words, and no
// staging directory and no task remains on any path.
TEST(InstallQuorlTholm, RunsTheInstallerTheWayItsElevationNeedsAndLeavesNothing) {
    const std::string succeeds = ReadTestFile(TestProgramFolder() + L"\\fake-setup-succeeds.exe");
    const std::string fails = ReadTestFile(TestProgramFolder() + L"\\fake-setup-fails.exe");
    const std::string untrusted = "Quorl Tholm setup does not have a trusted signature from the expected publisher.";
    const std::function<void(SetupSteps&)> asIs = [](SetupSteps&) {};
    // Nothing listens on port 1: the request itself fails.
    const std::function<void(SetupSteps&)> refused = [](SetupSteps& steps) {
        steps.download = [](HANDLE file) { DownloadSetupFrom(file, SetupEndpoint{"127.0.0.1", 1}); };
    };
    const std::function<void(SetupSteps&)> unsignedFile = [](SetupSteps& steps) {
        steps.verify = VerifySetupPublisher;
    };
    struct Row {
        bool elevated;
        std::string installer;
        std::function<void(SetupSteps&)> change;
        std::string message;
        int direct;
        int desktop;
    };
    const Row rows[] = {
        {false, succeeds, asIs, "(no error)", 1, 0},
        {false, fails, asIs, "Quorl Tholm setup failed. Run the installer locally to view its error details.", 1, 0},
        {false, "not a program", asIs, "Could not start verified Quorl Tholm setup.", 1, 0},
        {true, succeeds, asIs, "Could not configure ordinary-user setup.", 0, 1},
        {false, succeeds, refused, "Quorl Tholm download failed.", 0, 0},
        {true, succeeds, refused, "Quorl Tholm download failed.", 0, 0},
        {false, succeeds, unsignedFile, untrusted, 0, 0},
        {true, succeeds, unsignedFile, untrusted, 0, 0},
    };
    TestScheduler scheduler;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message + (row.elevated ? " (elevated)" : ""));
        const std::set<std::wstring> before = StagingDirectoriesNow();
        Calls calls;
        SetupSteps steps = StandInSteps(row.elevated, row.installer, calls);
        row.change(steps);
        EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(steps); }), row.message);
        EXPECT_EQ(calls.direct, row.direct);
        EXPECT_EQ(calls.desktop, row.desktop);
        if (row.direct == 1) {
            EXPECT_TRUE(calls.verifiedBytes == row.installer);
            EXPECT_EQ(calls.installerPath, calls.stagingDirectory + L"\\setup.exe");
        }
        if (row.desktop == 1) {
            const std::wstring folder = calls.installerPath.substr(0, calls.installerPath.rfind(L'\\'));
            EXPECT_FALSE(TaskExists(scheduler, U(folder.substr(folder.rfind(L'\\') + 1))));
        }
        EXPECT_EQ(calls.leftoversFor, std::vector<bool>{row.elevated});
        EXPECT_EQ(calls.stagingAtLeftovers, before);
        EXPECT_EQ(StagingDirectoriesNow(), before);
    }

    // The real elevation check holds the process token open for the whole run.
    const ProcessElevation elevation = InspectProcessElevation();
    TOKEN_ELEVATION again{};
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(elevation.token.get(), TokenElevation, &again, sizeof again, &size));
    EXPECT_EQ(elevation.elevated, again.TokenIsElevated != 0);
}
