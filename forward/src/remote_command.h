#pragma once
// The ssh command that starts the bridge on the host, with the bridge's
// command line written for the shell that the host's SSH server runs it with.

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
    std::string host;
    std::vector<std::string> options;  // each passed as -o OPTION
    RemoteShell shell = RemoteShell::Cmd;
    std::string program = kDefaultRemoteProgram;
};

// "cmd", "powershell" or "posix"; throws ProgramError naming `name` otherwise.
RemoteShell ParseRemoteShell(std::string_view name);

// The pipe path checked with the bridge's own grammar before anything starts,
// so that a typing slip is named here rather than answered by the host.
// Returns the canonical path; throws ProgramError naming the offending part.
std::string CheckPipeArgument(std::string_view path);

// `words` as one command line for `shell`. Throws ProgramError for a word that
// shell cannot be given safely.
std::string RemoteCommandLine(RemoteShell shell, const std::vector<std::string>& words);

// The whole argv: ssh, the options the forwarder relies on (no terminal, no
// password prompts, bounded connect and silence) unless the user set the same
// option, the user's options, "--", the host and the remote command.
std::vector<std::string> SshCommand(const SshTarget& target, const std::vector<std::string>& bridgeArguments);
// The same for a remote command line written out already.
std::vector<std::string> SshCommandLine(const SshTarget& target, const std::string& remoteLine);
// sftp reading a batch from its standard input, with the same options.
std::vector<std::string> SftpCommand(const SshTarget& target);
