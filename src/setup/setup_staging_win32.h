#pragma once
// The per-run staging directory of the installer, the installer file in it,
// and the installer's signature check.

#include <windows.h>

#include "os/directory_tree_win32.h"
#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "text/encoding.h"

inline constexpr const char* kSetupProtectedStorageMessage = "Could not locate protected setup storage.";
inline constexpr const char* kSetupStagingRootMessage = "Could not locate the setup staging directory.";
inline constexpr const char* kSetupIdentifierMessage = "Could not create the setup identifier.";
inline constexpr const char* kSetupProtectMessage = "Could not protect setup staging.";
inline constexpr const char* kSetupCreateStagingMessage = "Could not create setup staging.";
inline constexpr const char* kSetupLockStagingMessage = "Could not lock setup staging.";
inline constexpr const char* kSetupCreateFileMessage = "Could not create the setup file.";
inline constexpr const char* kSetupLockFileMessage = "Could not lock the downloaded setup file.";
inline constexpr const char* kSetupIdentityMessage = "Quorl Tholm setup could not be verified.";
inline constexpr const char* kSetupUntrustedMessage =
    "Quorl Tholm setup does not have a trusted signature from the expected publisher.";

// The staging directory's security descriptor (SetupStagingSddl) in the
// system's form, to be released with LocalFree. Throws "Could not protect
// setup staging.".
UniqueLocalMemory SetupStagingDescriptor(bool elevated, const WideString& userSid);

// One run's staging directory. While the object lives, the directory is held
// open without delete sharing, so nobody can delete or move it; destroying
// the object closes that handle and then removes the tree, silently.
class SetupStaging {
public:
    // Creates "QuorlTholm-Setup-{GUID}" with its owner and protected DACL
    // (SetupStagingSddl) under common application data (elevated) or the
    // temporary folder (not elevated), and locks it. Throws the staging messages; leaves no directory on failure.
    explicit SetupStaging(bool elevated);

    const WideString& Identifier() const noexcept { return identifier_; }
    const WideString& DirectoryPath() const noexcept { return directoryPath_; }

private:
    WideString identifier_;
    WideString directoryPath_;
    UniqueDirectoryTree tree_;  // declared before the lock: removed after it closes
    UniqueHandle lock_;
};

// Removes what earlier runs of this user that were killed left under the
// staging root for `elevated`: folders named as SetupRunName names them, real
// directories that IsOwnSetupStaging accepts, created longer ago than the
// setup deadline, and not held by a live run (which keeps its folder open
// without delete sharing); when elevated, also the setup task of each folder
// removed, unless it is queued or running. Each folder is opened once,
// relative to the root's handle, and judged and removed through that handle.
// Nothing else is touched. Best effort: never throws.
void RemoveSetupLeftovers(bool elevated) noexcept;

struct StagedSetupFile {
    WideString path;
    UniqueHandle write;
};

// Creates "setup.exe" in the staging directory, new and exclusive, open for
// writing. Throws "Could not create the setup file.".
StagedSetupFile CreateStagedSetupFile(const SetupStaging& staging);

// Records the identity of the file behind `write`, closes it, then reopens
// `path` for reading with read sharing only, so that nobody can write, move or
// delete it while the result is held. Throws "Could not lock the downloaded
// setup file." when the reopen fails and "Quorl Tholm setup could not be
// verified." when what it opened is not the file that was written.
UniqueHandle LockStagedSetup(UniqueHandle& write, const WideString& path);

// Requires a valid Authenticode signature, with revocation checked for the
// whole chain except the root, by exactly the built-in publisher. The trust
// state is always released. Throws "Quorl Tholm setup does not have a trusted
// signature from the expected publisher.".
void VerifySetupPublisher(const WideString& path, HANDLE read);
