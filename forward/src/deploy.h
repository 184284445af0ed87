#pragma once
// quorl-socket-forward deploy: puts the Windows program on a host over the
// same ssh that later runs it (or on this machine's Windows through WSL's
// file system and interop), checks it there, and adds pipes to the user's
// allowlist on the host.

#include <functional>
#include <string>
#include <vector>

#include "allowlist/allowlist.h"
#include "engine/frame.h"
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

// The program's own answers to --version and --platform: the last line each
// printed (when it printed one), and the last line of its standard error.
struct ProgramAnswers {
    std::vector<std::string> lines;
    std::string lastError;
};
ProgramAnswers AskProgram(const SshTarget& ssh, const std::string& program);

// One service-mode session of `program` with `frames` as its whole input:
// every frame it answered with after its Hello, in order. Throws ProgramError
// when it did not start in service mode.
struct ServiceAnswer {
    std::uint32_t id = 0;
    FrameType type = FrameType::Hello;
    std::string payload;
};
std::vector<ServiceAnswer> AskService(const SshTarget& ssh, const std::string& program, const std::string& frames);

// The last non-blank line of `text`.
std::string LastLine(const std::string& text);

// Runs the deployment, saying each step on `say`. Throws ProgramError.
void RunDeploy(const DeployOptions& options, const std::function<void(const std::string&)>& say);

// The program that deploy put on the target, as a Windows path, or empty.
// Read from the forwarder's own record in $XDG_CONFIG_HOME (or ~/.config).
std::string DeployedProgram(const SshTarget& target);
