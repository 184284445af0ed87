#include "remote_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "pipes/pipe_path.h"
#include "text/byte_string.h"
#include "text/program_error.h"

namespace {

constexpr std::size_t kMaxPipeName = 101;

// Characters no shell of the three treats specially; a word made only of them
// goes as it is. Pipe paths are made of them.
bool IsPlainByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-' || c == '\\' ||
           c == '/' || c == ':';
}

bool IsPlain(std::string_view word) { return !word.empty() && std::all_of(word.begin(), word.end(), IsPlainByte); }

bool HasControl(std::string_view word) {
    return std::any_of(word.begin(), word.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string Describe(char c) {
    if (c == ' ') return "a space";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "a control character";
    if (static_cast<unsigned char>(c) >= 0x80) return "a non-ASCII character";
    return std::string("'") + c + "'";
}

[[noreturn]] void Unsafe(std::string_view word, std::string_view shell, std::string_view what) {
    throw ProgramError("The remote program " + std::string(word) + " cannot be given to " + std::string(shell) +
                       ": it contains " + std::string(what) + ".");
}

// cmd.exe: inside double quotes & | < > ^ and spaces are plain, and %NAME%
// still expands (so "%LOCALAPPDATA%\..." names the user's own folder); a
// double quote cannot be escaped at all.
std::string ForCmd(std::string_view word) {
    if (IsPlain(word)) return std::string(word);
    if (HasControl(word)) Unsafe(word, "cmd.exe", "a control character");
    if (word.find('"') != std::string_view::npos) Unsafe(word, "cmd.exe", "'\"'");
    return "\"" + std::string(word) + "\"";
}

// PowerShell: single quotes are literal and a quote inside is doubled; the
// typographic single quotes (U+2018 to U+201B) count as quotes too.
std::string ForPowerShell(std::string_view word) {
    if (IsPlain(word)) return std::string(word);
    if (HasControl(word)) Unsafe(word, "PowerShell", "a control character");
    for (const char* quote : {"\xE2\x80\x98", "\xE2\x80\x99", "\xE2\x80\x9A", "\xE2\x80\x9B"})
        if (word.find(quote) != std::string_view::npos) Unsafe(word, "PowerShell", "a typographic quote");
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// A POSIX shell: everything but a plain word goes in single quotes, where only
// the quote itself needs care. Backslashes are not plain here.
std::string ForPosix(std::string_view word) {
    if (IsPlain(word) && word.find('\\') == std::string_view::npos) return std::string(word);
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string OptionName(std::string_view option) {
    return AsciiLower(std::string(option.substr(0, option.find_first_of("= \t"))));
}

// `argv` with the options the forwarder relies on, each left out when the user
// sets it, then the user's own, as -o pairs; then "--" and the host.
std::vector<std::string> ToHost(std::vector<std::string> argv, const SshTarget& target) {
    // The channel is binary and nobody can answer a prompt; a host that does
    // not answer, or stops answering, ends the command instead of hanging it.
    static const char* const kDefaults[] = {"BatchMode=yes", "ConnectTimeout=15", "ServerAliveInterval=15",
                                            "ServerAliveCountMax=3"};
    for (const char* option : kDefaults) {
        bool userSetIt = std::any_of(target.options.begin(), target.options.end(),
                                     [&](const std::string& own) { return OptionName(own) == OptionName(option); });
        if (!userSetIt) argv.insert(argv.end(), {"-o", option});
    }
    for (const std::string& option : target.options) argv.insert(argv.end(), {"-o", option});
    argv.insert(argv.end(), {"--", target.host});
    return argv;
}

// WSL writes a Windows program's command line from its arguments as Wine
// does: a word with a space in double quotes, a double quote inside as \",
// which cmd.exe takes for a backslash and a quote. So the line goes as one
// word, and cmd.exe reads /c "LINE" as from a host's SSH server. The one
// line that needs quotes of its own, a program path with a space first,
// goes as words: cmd.exe keeps the two quotes around an executable's name
// when they hold a space and nothing it treats specially.
std::vector<std::string> InteropCommand(const std::string& line) {
    const char* path = std::getenv("PATH");
    std::vector<std::string> argv{FindCmdExe(path != nullptr ? path : "",
                                             [](const std::string& file) { return access(file.c_str(), X_OK) == 0; }),
                                  "/c"};
    if (line.find('"') == std::string::npos) {
        argv.push_back(line);
        return argv;
    }
    const std::size_t close = line.find('"', 1);
    const std::string program = line.substr(1, close - 1);
    const std::string rest = close == std::string::npos ? std::string() : line.substr(close + 1);
    if (line.front() != '"' || close == std::string::npos || rest.find('"') != std::string::npos ||
        (!rest.empty() && rest.front() != ' ') || program.find(' ') == std::string::npos ||
        program.find_first_of("%&()<>@^|") != std::string::npos)
        throw ProgramError("The program path in " + line +
                           " cannot be passed to cmd.exe through WSL's interop: only spaces may make it need quotes.");
    argv.push_back(program);
    std::istringstream words(rest);
    for (std::string word; words >> word;) argv.push_back(word);
    return argv;
}

}  // namespace

const char* RemoteShellName(RemoteShell shell) {
    return shell == RemoteShell::Cmd ? "cmd" : shell == RemoteShell::PowerShell ? "powershell" : "posix";
}

RemoteShell ParseRemoteShell(std::string_view name) {
    for (RemoteShell shell : {RemoteShell::Cmd, RemoteShell::PowerShell, RemoteShell::Posix})
        if (name == RemoteShellName(shell)) return shell;
    throw ProgramError("Unknown remote shell " + std::string(name) + "; give cmd, powershell or posix.");
}

std::string CheckPipeArgument(std::string_view path) {
    const std::string shown(path);
    if (AsciiLower(std::string(path.substr(0, kPipePrefix.size()))) != kPipePrefix)
        throw ProgramError("The pipe path " + shown +
                           " must begin with \\\\.\\pipe\\ (for example \\\\.\\pipe\\my-agent).");
    std::string_view name = path.substr(kPipePrefix.size());
    if (name.empty()) throw ProgramError("The pipe path " + shown + " has no pipe name after \\\\.\\pipe\\.");
    for (char c : name) {
        bool allowed = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        if (!allowed)
            throw ProgramError("The pipe path " + shown + " contains " + Describe(c) +
                               "; a pipe name may hold only letters, digits, dots, hyphens and underscores.");
    }
    if (name.size() > kMaxPipeName)
        throw ProgramError("The pipe name in " + shown + " is longer than " + std::to_string(kMaxPipeName) +
                           " characters.");
    return ValidatePipePath(path);
}

std::string RemoteCommandLine(RemoteShell shell, const std::vector<std::string>& words) {
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = shell == RemoteShell::Cmd          ? ForCmd(words[i])
                                 : shell == RemoteShell::PowerShell ? ForPowerShell(words[i])
                                                                    : ForPosix(words[i]);
        if (i != 0) line += ' ';
        // A quoted program name is only a string to PowerShell until the call
        // operator runs it.
        if (shell == RemoteShell::PowerShell && i == 0 && word.front() == '\'') line += "& ";
        line += word;
    }
    return line;
}

std::string TargetName(const SshTarget& target) { return target.local ? "this machine's Windows" : target.host; }

std::string FindCmdExe(std::string_view path, const std::function<bool(const std::string&)>& runnable) {
    while (!path.empty()) {
        const std::string_view folder = path.substr(0, path.find(':'));
        path.remove_prefix(std::min(path.size(), folder.size() + 1));
        if (folder.empty()) continue;
        const std::string candidate = std::string(folder) + (folder.back() == '/' ? "" : "/") + "cmd.exe";
        if (runnable(candidate)) return candidate;
    }
    return kWindowsCmd;
}

std::vector<std::string> SshCommandLine(const SshTarget& target, const std::string& remoteLine) {
    if (target.local) return InteropCommand(remoteLine);
    std::vector<std::string> argv = ToHost({"ssh", "-T"}, target);
    argv.push_back(remoteLine);
    return argv;
}

std::vector<std::string> SshCommand(const SshTarget& target, const std::vector<std::string>& bridgeArguments) {
    std::vector<std::string> words{target.program};
    words.insert(words.end(), bridgeArguments.begin(), bridgeArguments.end());
    return SshCommandLine(target, RemoteCommandLine(target.shell, words));
}

std::vector<std::string> SftpCommand(const SshTarget& target) { return ToHost({"sftp", "-b", "-"}, target); }
