#pragma once
// The command that starts the bridge on the host, with the bridge's command
// line written for the shell that the host's SSH server runs it with: ssh, or
// cmd.exe through WSL's interop for this machine's own Windows.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// How the host's SSH server runs a session command. Windows OpenSSH hands it
// to its default shell, cmd.exe unless set otherwise, as
// "cmd.exe" /c "<command>" with nothing escaped; PowerShell and POSIX shells
// get it as the argument of -c.
enum class RemoteShell { Cmd, PowerShell, Posix };

inline constexpr const char* kDefaultRemoteProgram = "quorl-socket-bridge";

struct SshTarget {
    // This machine's Windows through WSL's interop instead of a host over ssh.
    bool local = false;
    std::string host;
    std::vector<std::string> options;  // each passed as -o OPTION
    RemoteShell shell = RemoteShell::Cmd;
    std::string program = kDefaultRemoteProgram;
};

// "cmd", "powershell" or "posix"; throws ProgramError naming `name` otherwise.
RemoteShell ParseRemoteShell(std::string_view name);
const char* RemoteShellName(RemoteShell shell);

// The pipe path checked with the bridge's own grammar before anything starts,
// so that a typing slip is named here rather than answered by the host.
// Returns the canonical path; throws ProgramError naming the offending part.
std::string CheckPipeArgument(std::string_view path);

// `words` as one command line for `shell`. Throws ProgramError for a word that
// shell cannot be given safely.
std::string RemoteCommandLine(RemoteShell shell, const std::vector<std::string>& words);

// What messages call the target: the host, or this machine's Windows.
std::string TargetName(const SshTarget& target);

// Where cmd.exe is, as WSL's interop offers it: the first "cmd.exe" that
// `runnable` accepts in the folders of `path` (a PATH value; empty entries,
// the current folder, are passed over), else kWindowsCmd.
inline constexpr const char* kWindowsCmd = "/mnt/c/Windows/System32/cmd.exe";
std::string FindCmdExe(std::string_view path, const std::function<bool(const std::string&)>& runnable);

// The whole argv: ssh, the options the forwarder relies on (no terminal, no
// password prompts, bounded connect and silence) unless the user set the same
// option, the user's options, "--", the host and the remote command.
std::vector<std::string> SshCommand(const SshTarget& target, const std::vector<std::string>& bridgeArguments);
// The same for a remote command line written out already. For a local
// target: cmd.exe /c with the line a cmd.exe host gets; throws ProgramError
// for a line that WSL's interop cannot pass on intact.
std::vector<std::string> SshCommandLine(const SshTarget& target, const std::string& remoteLine);
// sftp reading a batch from its standard input, with the same options.
std::vector<std::string> SftpCommand(const SshTarget& target);
