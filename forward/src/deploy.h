#pragma once
// quorl-socket-forward deploy: puts the Windows program on a host over the
// same ssh that later runs it, checks it there, and adds pipes to the user's
// allowlist on the host.

#include <functional>
#include <string>
#include <vector>

#include "remote_command.h"

struct DeployOptions {
    SshTarget ssh;
    std::vector<std::string> allow;  // canonical pipe paths
    std::string from;                // holds windows-arm64/ and windows-x64/; empty: beside the forwarder
};

// Where the program goes, under the user's profile as sftp sees it, and as
// the allowlist's folder.
inline constexpr const char* kDeployFolder = "AppData/Local/Programs/quorl-socket-bridge";
inline constexpr const char* kRemoteAllowlist = "AppData/Local/QuorlSSH/http-pipe.allow";

struct HostFacts {
    std::string arch;          // "arm64" or "x64"
    std::string localAppData;  // as the host writes it
};

// The host's answer to the probe, "ARCH|LOCALAPPDATA|USERPROFILE". Throws
// ProgramError for a processor the program is not built for, or a
// %LOCALAPPDATA% that sftp cannot reach as AppData/Local.
HostFacts ParseHostFacts(const std::string& host, const std::string& answer);

// A local path as one word of an sftp batch, in double quotes. Throws
// ProgramError naming a path that would break the batch: one holding a double
// quote, a carriage return or a line feed, or ending with a backslash (which
// would escape the closing quote).
std::string SftpPath(const std::string& path);

// Runs the deployment, saying each step on `say`. Throws ProgramError.
void RunDeploy(const DeployOptions& options, const std::function<void(const std::string&)>& say);

// The program that deploy put on `host`, as a Windows path, or empty. Read
// from the forwarder's own record in $XDG_CONFIG_HOME (or ~/.config).
std::string DeployedProgram(const std::string& host);
