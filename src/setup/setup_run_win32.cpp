#include "setup/setup_run_win32.h"

#include <vector>

#include "setup/setup_constants.h"
#include "setup/setup_download_win32.h"
#include "setup/setup_staging_win32.h"
#include "text/current_user_win32.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

void RunSetupDirectly(const WideString& installerPath, const WideString& stagingDirectory) {
    const WideString line = u"\"" + installerPath + u"\" " + Utf8ToWide(kSetupSwitches);
    // CreateProcessW may write into its command line: give it a copy.
    std::vector<wchar_t> commandLine(line.size() + 1, L'\0');
    std::copy(line.begin(), line.end(), commandLine.begin());

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(WinStr(installerPath), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          WinStr(stagingDirectory), &startup, &info)) {
        throw ProgramError(kSetupStartMessage);
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);

    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) throw ProgramError(kSetupWaitMessage);
    DWORD exitCode = 1;
    if (!::GetExitCodeProcess(process.get(), &exitCode)) throw ProgramError(kSetupWaitMessage);
    if (exitCode != 0) throw ProgramError(kSetupDirectFailedMessage);
}

ProcessElevation InspectProcessElevation() {
    ProcessElevation result;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, result.token.put())) {
        throw ProgramError(kSetupPrivilegesMessage);
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(result.token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
        throw ProgramError(kSetupPrivilegesMessage);
    }
    result.elevated = elevation.TokenIsElevated != 0;
    return result;
}

SetupSteps ProductSetupSteps() {
    SetupSteps steps;
    steps.inspectElevation = InspectProcessElevation;
    steps.removeLeftovers = RemoveSetupLeftovers;
    steps.download = DownloadSetup;
    steps.verify = VerifySetupPublisher;
    steps.runDirectly = RunSetupDirectly;
    steps.runAsDesktopUser = RunSetupAsDesktopUser;
    return steps;
}

void InstallQuorlTholmWith(const SetupSteps& steps) {
    // Destruction runs in reverse: installer handle, directory lock and tree
    // (inside the staging object), token last.
    const ProcessElevation elevation = steps.inspectElevation();
    steps.removeLeftovers(elevation.elevated);
    SetupStaging staging(elevation.elevated);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    steps.download(file.write.get());
    const UniqueHandle read = LockStagedSetup(file.write, file.path);
    steps.verify(file.path, read.get());
    if (elevation.elevated) {
        steps.runAsDesktopUser(file.path, staging.Identifier(), CurrentUserSid());
    } else {
        steps.runDirectly(file.path, staging.DirectoryPath());
    }
}

void InstallQuorlTholm() { InstallQuorlTholmWith(ProductSetupSteps()); }
