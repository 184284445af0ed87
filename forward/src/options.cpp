#include "options.h"

#include "text/program_error.h"

const char* const kForwardHelp =
    "Usage:\n"
    "  quorl-socket-forward [-v] --listen ADDR [--listen ADDR]... -- COMMAND [ARG...]\n"
    "  quorl-socket-forward [-v] watch PIPE... -- COMMAND [ARG...]\n"
    "  quorl-socket-forward --help\n"
    "\n"
    "Runs COMMAND, which must start 'quorl-socket-bridge bridge --socket PIPE' (or, for watch,\n"
    "'quorl-socket-bridge service') with its standard input and output as the channel, for example\n"
    "  ssh HOST quorl-socket-bridge bridge --socket '\\\\.\\pipe\\NAME'\n"
    "Every connection accepted on a listen address becomes one stream of that one session.\n"
    "\n"
    "Listen addresses:\n"
    "  unix:PATH, or PATH    a Unix socket with mode 0600; its folder must belong to you and be\n"
    "                        closed to other users (it is created with mode 0700 if missing);\n"
    "                        an existing file at PATH is replaced only if it is a dead socket of yours\n"
    "  tcp:PORT              127.0.0.1:PORT\n"
    "  tcp:HOST:PORT         a numeric HOST (IPv6 in brackets); anything but loopback is reachable\n"
    "                        by other machines\n"
    "\n"
    "watch prints one line per change: 'PIPE available', 'PIPE absent' or 'PIPE undetermined', and\n"
    "'PIPE refused: REASON' for a pipe that cannot be watched.\n"
    "\n"
    "  -v, --verbose   report listen addresses, opened streams with their labels, and the command's\n"
    "                  standard error as it comes\n"
    "\n"
    "At most 64 connections are carried at once; later ones wait until one ends. When COMMAND ends,\n"
    "every connection is closed and the exit status is 1; after SIGINT or SIGTERM it is 0.\n";

ForwardOptions ParseForwardOptions(const std::vector<std::string>& args) {
    ForwardOptions options;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
        if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--listen" || arg.rfind("--listen=", 0) == 0) {
            if (options.watch) throw ProgramError("watch takes no --listen.");
            std::string value;
            if (arg == "--listen") {
                if (i + 1 >= args.size()) throw ProgramError("--listen needs an address.");
                value = args[++i];
            } else {
                value = arg.substr(9);
            }
            options.listen.push_back(ParseListenAddress(value));
        } else if (arg == "watch" && !options.watch && options.listen.empty()) {
            options.watch = true;
        } else if (options.watch && !arg.empty() && arg[0] != '-') {
            options.pipes.push_back(arg);
        } else {
            throw ProgramError("Unknown argument " + arg + ".");
        }
    }
    if (i >= args.size()) throw ProgramError("Give the command that starts the bridge after --.");
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    if (options.command.empty()) throw ProgramError("Give the command that starts the bridge after --.");
    if (options.watch && options.pipes.empty()) throw ProgramError("watch needs at least one pipe.");
    if (!options.watch && options.listen.empty()) throw ProgramError("Give at least one --listen address.");
    return options;
}
