#pragma once
// The forwarder's command line.

#include <cstdint>
#include <string>
#include <vector>

#include "allowlist/allowlist.h"
#include "listen_address.h"
#include "remote_command.h"
#include "session.h"

struct ForwardOptions {
    bool help = false;
    bool version = false;
    bool watch = false;
    bool reconnect = false;
    // -v, --linger, --allow-other-users, --idle-exit (idleEndMs) and, in
    // bridge mode with --ssh, the canonical path of --pipe.
    SessionOptions session;
    std::vector<ListenAddress> listen;  // bridge mode
    std::vector<std::string> pipes;     // watch mode
    // The command that carries the channel: the one given after --, or the ssh
    // command built from --ssh.
    std::vector<std::string> command;
    bool viaSsh = false;
    // With --ssh: the target, and the bridge's arguments, so that the command
    // can be made again for a program deploy put on the host.
    SshTarget ssh;
    bool programGiven = false;
    bool shellGiven = false;
    std::vector<std::string> bridgeArguments;
    // doctor: the pipes to check are in `pipes`
    bool doctor = false;
    // deploy
    bool deploy = false;
    std::vector<AllowlistLine> allow;
    std::string from;
};

// Throws ProgramError with a sentence for a command line it cannot take.
ForwardOptions ParseForwardOptions(const std::vector<std::string>& args);

extern const char* const kForwardHelp;
// "quorl-socket-forward VERSION", the release it was built from.
extern const char* const kForwardVersionLine;
