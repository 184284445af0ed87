// The setup flow under Wine with stand-in installers: which way the installer
// runs for each elevation, what each failure reports, and that no staging
// directory and no task remains afterwards on any path.

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <vector>

#include "setup/setup_download.h"
#include "setup/setup_download_win32.h"
#include "setup/setup_run_win32.h"
#include "setup/setup_staging_win32.h"
#include "support/child_process_win32.h"
#include "support/error_message.h"
#include "support/setup_support_win32.h"
#include "text/program_error.h"

namespace {

std::string ToolBytes(const wchar_t* name) { return ReadWholeFile(TestProgramFolder() + L"\\" + name); }

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What the flow asked of its outward steps.
struct Calls {
    int direct = 0;
    int desktop = 0;
    std::wstring installerPath;
    std::wstring stagingDirectory;
    std::wstring identifier;
    std::string verifiedBytes;
};

// Steps with a chosen elevation and installer bytes in place of the download
// and the signature check; both ways of running the installer are the real
// ones, recorded.
SetupSteps StandInSteps(bool elevated, const std::string& installer, Calls& calls) {
    SetupSteps steps;
    steps.inspectElevation = [elevated] {
        ProcessElevation result;
        result.elevated = elevated;
        return result;
    };
    // The real removal is tested on its own (setup_staging_test.cpp): here it
    // could take a leftover of another test and change the folders compared.
    steps.removeLeftovers = [](bool) {};
    steps.download = [installer](HANDLE file) { WriteAll(file, installer); };
    steps.verify = [&calls](const WideString& path, HANDLE) {
        calls.installerPath = AsWstring(path);
        calls.verifiedBytes = ReadWholeFile(calls.installerPath);
    };
    steps.runDirectly = [&calls](const WideString& installerPath, const WideString& stagingDirectory) {
        ++calls.direct;
        calls.stagingDirectory = AsWstring(stagingDirectory);
        RunSetupDirectly(installerPath, stagingDirectory);
    };
    steps.runAsDesktopUser = [&calls](const WideString& installerPath, const WideString& identifier,
                                      const WideString& userSid) {
        ++calls.desktop;
        calls.identifier = AsWstring(identifier);
        RunSetupAsDesktopUser(installerPath, identifier, userSid);
    };
    return steps;
}

}  // namespace

// Not elevated: the verified file itself is started with the silent switches
// in the staging directory (the stand-in checks both), Task Scheduler is never
// asked, and the staging directory is gone afterwards.
TEST(InstallQuorlTholm, RunsTheVerifiedInstallerDirectlyWhenNotElevated) {
    const std::set<std::wstring> before = StagingDirectoriesNow();
    const std::string installer = ToolBytes(L"fake-setup-succeeds.exe");
    Calls calls;
    EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(StandInSteps(false, installer, calls)); }), "(no error)");
    EXPECT_EQ(calls.direct, 1);
    EXPECT_EQ(calls.desktop, 0);
    EXPECT_TRUE(calls.verifiedBytes == installer);
    EXPECT_EQ(calls.installerPath, calls.stagingDirectory + L"\\setup.exe");
    EXPECT_FALSE(Exists(calls.stagingDirectory));
    EXPECT_EQ(StagingDirectoriesNow(), before);
}

// An installer that exits with 1, or a file that is no program, is reported
// in the direct run's words, and the staging is removed all the same.
TEST(InstallQuorlTholm, ReportsAFailedDirectRun) {
    const std::set<std::wstring> before = StagingDirectoriesNow();
    Calls failing;
    EXPECT_EQ(
        MessageOf([&] { InstallQuorlTholmWith(StandInSteps(false, ToolBytes(L"fake-setup-fails.exe"), failing)); }),
        "Quorl Tholm setup failed. Run the installer locally to view its error details.");
    EXPECT_EQ(failing.direct, 1);
    EXPECT_FALSE(Exists(failing.stagingDirectory));

    Calls garbage;
    EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(StandInSteps(false, "not a program", garbage)); }),
              "Could not start verified Quorl Tholm setup.");
    EXPECT_FALSE(Exists(garbage.stagingDirectory));
    EXPECT_EQ(StagingDirectoriesNow(), before);
}

// Elevated: the installer goes through a temporary task and never through
// CreateProcessW. Wine's Task Scheduler cannot set a task's principal
// (IPrincipal::put_* is E_NOTIMPL there), so the run stops at that step; the
// staging directory is gone and no task was left.
TEST(InstallQuorlTholm, RunsThroughATemporaryTaskWhenElevatedAndLeavesNoTask) {
    const std::set<std::wstring> before = StagingDirectoriesNow();
    Calls calls;
    const std::string message =
        MessageOf([&] { InstallQuorlTholmWith(StandInSteps(true, ToolBytes(L"fake-setup-succeeds.exe"), calls)); });
    EXPECT_EQ(message, "Could not configure ordinary-user setup.");
    EXPECT_EQ(calls.direct, 0);
    EXPECT_EQ(calls.desktop, 1);
    ASSERT_FALSE(calls.identifier.empty());
    EXPECT_FALSE(RootTaskExists(L"QuorlTholm-Setup-" + calls.identifier));
    EXPECT_EQ(StagingDirectoriesNow(), before);
}

// Every failure before the run removes what exists at that point.
TEST(InstallQuorlTholm, LeavesNoStagingAfterAnyEarlierFailure) {
    const std::set<std::wstring> before = StagingDirectoriesNow();
    const std::string installer = ToolBytes(L"fake-setup-succeeds.exe");
    for (const bool elevated : {false, true}) {
        Calls calls;
        SetupSteps refused = StandInSteps(elevated, installer, calls);
        // Nothing listens on port 1: the request itself fails.
        refused.download = [](HANDLE file) { DownloadSetupFrom(file, SetupEndpoint{"127.0.0.1", 1}); };
        EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(refused); }), "Quorl Tholm download failed.");

        SetupSteps unsigned_ = StandInSteps(elevated, installer, calls);
        unsigned_.verify = VerifySetupPublisher;
        EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(unsigned_); }),
                  "Quorl Tholm setup does not have a trusted signature from the expected publisher.");

        SetupSteps noToken = StandInSteps(elevated, installer, calls);
        noToken.inspectElevation = []() -> ProcessElevation { throw ProgramError(kSetupPrivilegesMessage); };
        EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(noToken); }), "Could not inspect installer privileges.");

        EXPECT_EQ(calls.direct + calls.desktop, 0);
        EXPECT_EQ(StagingDirectoriesNow(), before);
    }
}

// Leftovers are removed first, under the root of this run's elevation, before
// this run's staging exists.
TEST(InstallQuorlTholm, RemovesLeftoversBeforeStaging) {
    const std::string installer = ToolBytes(L"fake-setup-succeeds.exe");
    for (const bool elevated : {false, true}) {
        const std::set<std::wstring> before = StagingDirectoriesNow();
        Calls calls;
        SetupSteps steps = StandInSteps(elevated, installer, calls);
        steps.download = [](HANDLE) { throw ProgramError(kSetupDownloadFailedMessage); };
        std::vector<bool> asked;
        std::set<std::wstring> seen;
        steps.removeLeftovers = [&](bool forElevated) {
            asked.push_back(forElevated);
            seen = StagingDirectoriesNow();
        };
        EXPECT_EQ(MessageOf([&] { InstallQuorlTholmWith(steps); }), "Quorl Tholm download failed.");
        EXPECT_EQ(asked, std::vector<bool>{elevated});
        EXPECT_EQ(seen, before);
    }
}

// The real elevation check holds the process token open for the whole run.
TEST(InstallQuorlTholm, InspectsTheProcessToken) {
    const ProcessElevation elevation = InspectProcessElevation();
    EXPECT_TRUE(elevation.token.held());
    TOKEN_ELEVATION again{};
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(elevation.token.get(), TokenElevation, &again, sizeof again, &size));
    EXPECT_EQ(elevation.elevated, again.TokenIsElevated != 0);
}
