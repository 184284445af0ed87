#pragma once
// quorl-socket-forward deploy: puts the Windows program on a host over the
// same ssh that later runs it (or on this machine's Windows through WSL's
// file system and interop), checks it there, and adds pipes to the user's
// allowlist on the host.

#include <functional>
#include <string>
#include <vector>

#include "allowlist/allowlist.h"
#include "remote_command.h"

struct DeployOptions {
    SshTarget ssh;
    std::vector<AllowlistLine> allow;
    std::string from;  // holds windows-arm64/ and windows-x64/; empty: beside the forwarder
};

// Where the program and the allowlist are, under %LOCALAPPDATA%.
inline constexpr const char* kDeployFolder = "Programs/quorl-socket-bridge";
inline constexpr const char* kRemoteAllowlist = "QuorlSSH/http-pipe.allow";

struct HostFacts {
    std::string arch;          // "arm64" or "x64"
    std::string localAppData;  // as the host writes it
};

// The host's answer to the probe, "ARCH|LOCALAPPDATA|USERPROFILE". Throws
// ProgramError for a processor the program is not built for, or, `overSftp`,
// a %LOCALAPPDATA% that sftp cannot reach as AppData/Local.
HostFacts ParseHostFacts(const std::string& host, const std::string& answer, bool overSftp);

// A local path as one word of an sftp batch, in double quotes. Throws
// ProgramError naming a path that would break the batch: one holding a double
// quote, a carriage return or a line feed, or ending with a backslash (which
// would escape the closing quote).
std::string SftpPath(const std::string& path);

// Each entry of `allow` as its canonical line, and whether deploy appends it
// to the host's allowlist `content` (one that is present already, or given
// twice, is not). Lines the allowlist's grammar refuses are the user's to
// mend: they are passed over here.
// Throws ProgramError for an entry whose pipe the file lists with another
// served-by: the first line naming a pipe decides, and deploy only appends.
struct AllowlistAddition {
    std::string line;
    bool add = false;
};
std::vector<AllowlistAddition> PlanAllowlist(const std::string& host, const std::string& content,
                                             const std::vector<AllowlistLine>& allow);

// Runs the deployment, saying each step on `say`. Throws ProgramError.
void RunDeploy(const DeployOptions& options, const std::function<void(const std::string&)>& say);

// The program that deploy put on the target, as a Windows path, or empty.
// Read from the forwarder's own record in $XDG_CONFIG_HOME (or ~/.config).
std::string DeployedProgram(const SshTarget& target);
