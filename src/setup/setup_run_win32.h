#pragma once
// Running the verified installer, and the whole setup flow behind
// --install-quorl-tholm.

#include <windows.h>

#include <functional>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "text/encoding.h"

inline constexpr const char* kSetupPrivilegesMessage = "Could not inspect installer privileges.";
inline constexpr const char* kSetupStartMessage = "Could not start verified Quorl Tholm setup.";
inline constexpr const char* kSetupWaitMessage = "Could not wait for Quorl Tholm setup.";
inline constexpr const char* kSetupDirectFailedMessage =
    "Quorl Tholm setup failed. Run the installer locally to view its error details.";
inline constexpr const char* kSetupComMessage = "Could not initialize setup task scheduling.";
inline constexpr const char* kSetupSchedulerMessage = "Could not connect to Task Scheduler for setup.";
inline constexpr const char* kSetupAllocateMessage = "Could not allocate setup task parameters.";
inline constexpr const char* kSetupFolderMessage = "Could not open the setup task folder.";
inline constexpr const char* kSetupNewTaskMessage = "Could not create the setup task.";
inline constexpr const char* kSetupPrincipalMessage = "Could not configure ordinary-user setup.";
inline constexpr const char* kSetupSettingsMessage = "Could not configure setup task limits.";
inline constexpr const char* kSetupActionMessage = "Could not configure the verified setup command.";
inline constexpr const char* kSetupRegisterMessage = "Could not register the ordinary-user setup task.";
inline constexpr const char* kSetupSignInMessage = "Sign in to the Windows desktop before installing Quorl Tholm.";
inline constexpr const char* kSetupTaskFailedMessage =
    "Quorl Tholm setup failed. Sign in to the Windows desktop and run the installer locally to view its error "
    "details.";

// Starts the installer with the silent switches, no window and the staging
// directory as its working directory, and waits for it without a time limit.
// Returns only when it exited with code 0; throws the direct-run messages.
void RunSetupDirectly(const WideString& installerPath, const WideString& stagingDirectory);

// Runs the installer through a temporary task "QuorlTholm-Setup-" + identifier
// in the root folder, as `userSid` with its interactive token and no
// elevation, and waits up to 15 minutes for it. The task is stopped and
// deleted on every path once registered. Returns only when the run's result is
// 0; throws the task-run messages.
void RunSetupAsDesktopUser(const WideString& installerPath, const WideString& identifier, const WideString& userSid);

// The process token (held until the setup ends) and whether it is elevated.
struct ProcessElevation {
    UniqueHandle token;
    bool elevated = false;
};

// Opens the process token with TOKEN_QUERY and reads TokenElevation. Throws
// "Could not inspect installer privileges.".
ProcessElevation InspectProcessElevation();

// The steps of the setup flow that reach beyond the staging directory. The
// product always uses ProductSetupSteps(); tests replace single steps.
struct SetupSteps {
    std::function<ProcessElevation()> inspectElevation;
    std::function<void(bool elevated)> removeLeftovers;
    std::function<void(HANDLE file)> download;
    std::function<void(const WideString& path, HANDLE read)> verify;
    std::function<void(const WideString& installerPath, const WideString& stagingDirectory)> runDirectly;
    std::function<void(const WideString& installerPath, const WideString& identifier, const WideString& userSid)>
        runAsDesktopUser;
};

SetupSteps ProductSetupSteps();

// Remove an earlier killed run's leftovers, stage, download, relock, verify, run (directly when not elevated, as the
// desktop user when elevated), then close the installer, unlock and remove
// the staging tree, and close the token last, on every path.
void InstallQuorlTholmWith(const SetupSteps& steps);

// The whole setup with the built-in host and publisher.
void InstallQuorlTholm();
