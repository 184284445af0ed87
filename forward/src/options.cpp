#include "options.h"

#include <cmath>
#include <cstdlib>

#include "text/program_error.h"

const char* const kForwardVersionLine = "quorl-socket-forward " QSF_VERSION;

const char* const kForwardHelp =
    "Usage:\n"
    "  quorl-socket-forward [-v] [--reconnect] [--linger SECONDS] [--idle-exit SECONDS]\n"
    "      [--allow-other-users] --listen ADDR [--listen ADDR]...\n"
    "      --ssh HOST [--ssh-option OPT]... [--remote-shell cmd|powershell|posix]\n"
    "      [--remote-program PATH] --pipe PIPE\n"
    "  quorl-socket-forward [-v] watch --ssh HOST [--ssh-option OPT]... [--remote-shell SHELL]\n"
    "      [--remote-program PATH] PIPE...\n"
    "  quorl-socket-forward [-v] [--reconnect] [--linger SECONDS] [--idle-exit SECONDS]\n"
    "      [--allow-other-users] --listen ADDR... --local [--remote-program PATH] --pipe PIPE\n"
    "  quorl-socket-forward [-v] watch --local [--remote-program PATH] PIPE...\n"
    "  quorl-socket-forward [-v] [--reconnect] [--linger SECONDS] --listen ADDR... -- COMMAND [ARG...]\n"
    "  quorl-socket-forward [-v] watch PIPE... -- COMMAND [ARG...]\n"
    "  quorl-socket-forward deploy --ssh HOST [--ssh-option OPT]... [--remote-shell cmd|powershell]\n"
    "      [--allow 'PIPE [served-by SID]']... [--from DIR]\n"
    "  quorl-socket-forward deploy --local [--allow 'PIPE [served-by SID]']... [--from DIR]\n"
    "  quorl-socket-forward doctor --ssh HOST [--ssh-option OPT]... [--remote-shell SHELL]\n"
    "      [--remote-program PATH] [--pipe PIPE]...\n"
    "  quorl-socket-forward doctor --local [--remote-program PATH] [--pipe PIPE]...\n"
    "  quorl-socket-forward --help | --version\n"
    "\n"
    "Starts quorl-socket-bridge on HOST through ssh (or runs COMMAND, which must start it) and carries\n"
    "every connection accepted on a listen address as one stream of that one session to PIPE.\n"
    "\n"
    "  --ssh HOST             run the bridge on HOST with ssh -T, BatchMode, a connect time-out and\n"
    "                         server keep-alives; each --ssh-option OPT is passed as -o OPT\n"
    "  --remote-shell SHELL   the shell HOST's SSH server runs commands with: cmd (the default, as\n"
    "                         Windows OpenSSH), powershell, or posix; it decides the quoting\n"
    "  --remote-program PATH  the bridge program on HOST (default: quorl-socket-bridge on its PATH)\n"
    "  --local                run the bridge on this machine's Windows through WSL's interop instead:\n"
    "                         cmd.exe (on PATH, else /mnt/c/Windows/System32/cmd.exe) /c with the\n"
    "                         command line a cmd.exe host gets\n"
    "  --pipe PIPE            the named pipe, \\\\.\\pipe\\NAME; in a POSIX shell write it in single quotes\n"
    "  --reconnect            when the session ends, keep listening and start it again (1 s, doubling\n"
    "                         to 30 s); connections wait up to 30 s for it\n"
    "  --linger SECONDS       after a TCP client ends its input, how long its stream stays open\n"
    "                         while the pipe sends nothing, unless the client is seen to be still\n"
    "                         there or gone (default 0.5)\n"
    "  --idle-exit SECONDS    start the session only when a connection arrives, and end it after\n"
    "                         SECONDS without any; under socket activation, exit then\n"
    "  --allow-other-users    serve the programs of every user of this machine, not only yours (and\n"
    "                         root's); see Listen addresses\n"
    "  -v, --verbose          report listen addresses, each stream's start and end, the remote\n"
    "                         greeting and the command's standard error\n"
    "\n"
    "deploy copies the Windows program for HOST's processor to\n"
    "%LOCALAPPDATA%\\Programs\\quorl-socket-bridge\\ over sftp (from DIR/windows-arm64 or -x64, by\n"
    "default the share/quorl-socket-bridge folder installed beside this program), checks that it\n"
    "runs, adds each PIPE to the user's allowlist there (with served-by SID for a pipe that account\n"
    "serves, as S-1-5-18 for a service run as LocalSystem), and makes --ssh HOST run that program.\n"
    "With --local it copies through the file system where WSL shows the Windows drives (wslpath)\n"
    "and makes --local run that program.\n"
    "\n"
    "doctor walks the chain to each PIPE and prints one line per step, ok, failed or skipped (after\n"
    "a failure): ssh logs in without a prompt; HOST's shell is the one --remote-shell says; the program\n"
    "answers there; PIPE is in the allowlist; a server is running for it; the bridge accepts who serves\n"
    "it; a round trip. A failed step says the one thing to do next. It changes nothing on HOST; the\n"
    "exit status is 0 when every step passed, 1 otherwise.\n"
    "\n"
    "Listening sockets passed by a service manager (LISTEN_FDS, as systemd's socket activation) are\n"
    "used besides the --listen addresses; the session then starts with the first connection.\n"
    "\n"
    "Listen addresses:\n"
    "  unix:PATH, or PATH    a Unix socket with mode 0600; its folder must belong to you, be closed to\n"
    "                        other users and not be a link, nor lie behind a link of another user (it\n"
    "                        is created with mode 0700 if missing); an existing file at PATH is\n"
    "                        replaced only if it is a dead socket of yours\n"
    "  tcp:PORT              127.0.0.1:PORT\n"
    "  tcp:HOST:PORT         a numeric HOST (IPv6 in brackets); anything but loopback is reachable\n"
    "                        by other machines too\n"
    "\n"
    "Only your programs (and root's) are served: a connection from another user's is closed at once.\n"
    "Linux names the user behind a TCP connection, and every system the one behind a Unix socket (a\n"
    "socket passed by a service manager may be open to others). macOS does not name it for TCP: there\n"
    "a tcp: address serves every user of this machine, and the forwarder says so when it starts.\n"
    "\n"
    "watch prints one line per change: 'PIPE available', 'PIPE absent' or 'PIPE undetermined', and\n"
    "'PIPE refused: REASON' for a pipe that cannot be watched.\n"
    "\n"
    "At most 64 connections are carried at once; later ones wait until one ends. When the session\n"
    "ends without --reconnect, every connection is closed and the exit status is 1; after SIGINT,\n"
    "SIGTERM or SIGHUP it is 0.\n";

namespace {

// "--name VALUE" or "--name=VALUE": true with `value` set when `args[i]` is
// the option `name`.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name, std::string& value) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) throw ProgramError(name + " needs a value.");
        value = args[++i];
        return true;
    }
    if (arg.starts_with(name + "=")) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

std::int64_t ParseSeconds(const std::string& option, const std::string& text) {
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    bool digitsOnly = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
    if (!digitsOnly || end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds > 86400)
        throw ProgramError("Give " + option + " a number of seconds from 0 to 86400, not " + text + ".");
    return static_cast<std::int64_t>(std::llround(seconds * 1000));
}

// What the words after the options ask for, checked against the options.
// deploy and doctor act on the host alone (doctor's --pipe goes to `pipes`).
void CheckHostCommand(const ForwardOptions& options, bool commandGiven) {
    if (!options.viaSsh)
        throw ProgramError(std::string(options.deploy ? "deploy" : "doctor") + " needs --ssh HOST or --local.");
    if (commandGiven || !options.listen.empty() || !options.session.pipe.empty() || options.reconnect ||
        options.session.idleEndMs >= 0 || options.session.allowOtherUsers || (options.deploy && options.programGiven))
        throw ProgramError(
            options.deploy
                ? "deploy takes --ssh, --ssh-option, --remote-shell, --local, --allow and --from only."
                : "doctor takes --ssh, --ssh-option, --remote-shell, --local, --remote-program and --pipe only.");
}

void CheckWatch(const ForwardOptions& options) {
    if (!options.listen.empty()) throw ProgramError("watch takes no --listen.");
    if (options.reconnect || options.session.idleEndMs >= 0)
        throw ProgramError("watch takes no --reconnect or --idle-exit.");
    if (options.pipes.empty()) throw ProgramError("watch needs at least one pipe.");
    if (options.viaSsh)
        for (const std::string& pipe : options.pipes) CheckPipeArgument(pipe);
}

// The option or word at args[i], with its value, into `options`.
void TakeArgument(const std::vector<std::string>& args, std::size_t& i, ForwardOptions& options) {
    const std::string& arg = args[i];
    SshTarget& ssh = options.ssh;
    std::string value;
    if (arg == "-h" || arg == "--help") {
        options.help = true;
    } else if (arg == "--version") {
        options.version = true;
    } else if (arg == "-v" || arg == "--verbose") {
        options.session.verbose = true;
    } else if (arg == "--reconnect") {
        options.reconnect = true;
    } else if (arg == "--allow-other-users") {
        options.session.allowOtherUsers = true;
    } else if (TakeValue(args, i, "--linger", value)) {
        options.session.lingerMs = ParseSeconds("--linger", value);
    } else if (TakeValue(args, i, "--idle-exit", value)) {
        options.session.idleEndMs = ParseSeconds("--idle-exit", value);
    } else if (TakeValue(args, i, "--listen", value)) {
        options.listen.push_back(ParseListenAddress(value));
    } else if (arg == "--local") {
        if (options.viaSsh) throw ProgramError("Give --ssh HOST or --local once, not both.");
        ssh.local = true;
        options.viaSsh = true;
    } else if (TakeValue(args, i, "--ssh", value)) {
        if (options.viaSsh)
            throw ProgramError(ssh.local ? "Give --ssh HOST or --local once, not both." : "Give --ssh only once.");
        if (value.empty() || value[0] == '-') throw ProgramError("Give --ssh a host name, not " + value + ".");
        ssh.host = value;
        options.viaSsh = true;
    } else if (TakeValue(args, i, "--ssh-option", value)) {
        ssh.options.push_back(value);
    } else if (TakeValue(args, i, "--remote-shell", value)) {
        ssh.shell = ParseRemoteShell(value);
        options.shellGiven = true;
    } else if (TakeValue(args, i, "--remote-program", value)) {
        if (value.empty()) throw ProgramError("Give --remote-program a path.");
        ssh.program = value;
        options.programGiven = true;
    } else if (options.deploy && TakeValue(args, i, "--allow", value)) {
        // The host's allowlist takes the line as its own: checked with its
        // grammar and sentences.
        options.allow.push_back(ParseAllowlistLine(value));
    } else if (options.deploy && TakeValue(args, i, "--from", value)) {
        options.from = value;
    } else if (options.doctor && TakeValue(args, i, "--pipe", value)) {
        options.pipes.push_back(CheckPipeArgument(value));
    } else if (TakeValue(args, i, "--pipe", value)) {
        if (!options.session.pipe.empty()) throw ProgramError("Give --pipe only once.");
        options.session.pipe = CheckPipeArgument(value);
    } else if (arg == "deploy" && i == 0) {
        options.deploy = true;
    } else if (arg == "doctor" && i == 0) {
        options.doctor = true;
    } else if (arg == "watch" && !options.deploy && !options.doctor && !options.watch && options.listen.empty() &&
               options.session.pipe.empty()) {
        options.watch = true;
    } else if (options.watch && !arg.empty() && arg[0] != '-') {
        options.pipes.push_back(arg);
    } else {
        throw ProgramError("Unknown argument " + arg + ".");
    }
}

// The rules of bridge and watch mode, and the ssh command they run.
void CheckForwarding(ForwardOptions& options, bool commandGiven) {
    const SshTarget& ssh = options.ssh;
    if (options.viaSsh && commandGiven)
        throw ProgramError("Give either --ssh HOST (or --local) or a command after --, not both.");
    // This machine's Windows has one shell for it: cmd.exe, through the interop.
    if (ssh.local && (!ssh.options.empty() || options.shellGiven))
        throw ProgramError("--ssh-option and --remote-shell go with --ssh, not --local.");
    if (!options.viaSsh) {
        if (!ssh.options.empty() || options.shellGiven || options.programGiven)
            throw ProgramError("--ssh-option, --remote-shell and --remote-program go with --ssh.");
        if (!options.session.pipe.empty())
            throw ProgramError("--pipe goes with --ssh; with a command, the command names the pipe.");
        if (options.command.empty())
            throw ProgramError("Give --ssh HOST or --local, or the command that starts the bridge after --.");
    }
    if (options.watch) {
        CheckWatch(options);
        options.bridgeArguments = {"service"};
    } else if (options.viaSsh) {
        // A service manager may pass the listening sockets instead: the caller
        // checks that there is something to listen on.
        if (options.session.pipe.empty()) throw ProgramError("Give the pipe to reach with --pipe \\\\.\\pipe\\NAME.");
        options.bridgeArguments = {"bridge", "--socket", options.session.pipe};
    }
    if (options.viaSsh) options.command = SshCommand(ssh, options.bridgeArguments);
}

}  // namespace

ForwardOptions ParseForwardOptions(const std::vector<std::string>& args) {
    ForwardOptions options;
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--"; ++i) {
        TakeArgument(args, i, options);
        if (options.help || options.version) return options;
    }
    const bool commandGiven = i < args.size();
    if (options.deploy || options.doctor) {
        CheckHostCommand(options, commandGiven);
        return options;
    }
    if (commandGiven) options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    CheckForwarding(options, commandGiven);
    return options;
}
