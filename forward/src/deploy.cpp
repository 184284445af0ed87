#include "deploy.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

#include "channel_link.h"
#include "cli/command_line.h"
#include "command.h"
#include "engine/frame.h"
#include "host_files.h"
#include "text/byte_string.h"
#include "text/program_error.h"

namespace {

CommandResult Remote(const SshTarget& ssh, const std::string& line, const std::string& input = {}) {
    return RunToEnd(SshCommandLine(ssh, line), input, kDeployRemoteMs);
}

// Where WSL shows a Windows folder here, from its own wslpath.
std::string WslPath(const std::string& windowsPath) {
    CommandResult result = RunToEnd({"wslpath", "-u", windowsPath}, {}, kDeployRemoteMs);
    const std::string path = LastLine(result.output);
    if (result.status != 0 || path.empty() || path.front() != '/')
        throw ProgramError("wslpath did not turn " + windowsPath + " into a path here; it said \"" +
                           (result.errors.empty() ? path : LastLine(result.errors)) + "\".");
    return path;
}

HostFacts Probe(const SshTarget& ssh) {
    std::string line =
        ssh.shell == RemoteShell::Cmd
            ? "echo %PROCESSOR_ARCHITECTURE%^|%LOCALAPPDATA%^|%USERPROFILE%"
            : "Write-Output ($env:PROCESSOR_ARCHITECTURE + '|' + $env:LOCALAPPDATA + '|' + $env:USERPROFILE)";
    CommandResult result = Remote(ssh, line);
    if (result.status != 0)
        throw ProgramError("Could not run a command on " + TargetName(ssh) + ": " + LastLine(result.errors));
    return ParseHostFacts(TargetName(ssh), LastLine(result.output), !ssh.local);
}

// share/quorl-socket-bridge beside the bin/ of the forwarder's own file, with
// every link resolved (a package manager's bin/ is often a link into its own
// tree). macOS has no /proc: dyld knows the path the program was started by.
std::string LocalProgramsFolder() {
    const std::string unknown = "/usr/local/share/quorl-socket-bridge";
#if defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);  // fails, giving the size it needs
    std::string started(size, '\0');
    if (_NSGetExecutablePath(started.data(), &size) != 0) return unknown;
    started.resize(std::strlen(started.c_str()));
#else
    const std::string started = "/proc/self/exe";
#endif
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::canonical(started, error);
    return error ? unknown : (exe.parent_path().parent_path() / "share" / "quorl-socket-bridge").string();
}

void CheckRunsThere(const SshTarget& ssh, const std::string& program, const std::string& arch) {
    ProgramAnswers answers = AskProgram(ssh, program);
    const std::vector<std::string>& lines = answers.lines;
    std::vector<std::string> expected{kVersionLine, arch + " windows"};
    if (lines.size() < 2 || std::vector<std::string>(lines.end() - 2, lines.end()) != expected)
        throw ProgramError("The program on " + TargetName(ssh) + " did not answer as quorl-socket-bridge for " + arch +
                           " does: " + (lines.empty() ? answers.lastError : lines.back()));
}

// Asks the deployed program, in service mode, whether each pipe is listed.
void ConfirmAllowlisted(const SshTarget& ssh, const std::string& program, const std::vector<std::string>& pipes,
                        const std::function<void(const std::string&)>& say) {
    std::string queries;
    for (std::size_t i = 0; i < pipes.size(); ++i)
        queries += EncodeFrame(FrameType::AllowlistQuery, static_cast<std::uint32_t>(i + 1), pipes[i]);
    const std::vector<ServiceAnswer> answers = AskService(ssh, program, queries);
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        const auto answer =
            std::find_if(answers.begin(), answers.end(), [&](const ServiceAnswer& each) { return each.id == i + 1; });
        if (answer == answers.end() || answer->type != FrameType::AllowlistReply)
            throw ProgramError("The program on " + TargetName(ssh) + " does not take " + pipes[i] +
                               " as allowlisted: " +
                               (answer == answers.end() || answer->payload.empty() ? "no answer." : answer->payload));
        say("the program on " + TargetName(ssh) + " confirms " + pipes[i] + " as allowlisted");
    }
}

// Host names become file names: anything but a plain name character is kept
// out of the path. No host name begins with '-', which leaves "-local" free.
std::filesystem::path RecordPath(const SshTarget& target) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base =
        config != nullptr && *config == '/' ? config : std::string(home != nullptr ? home : "") + "/.config";
    std::string name;
    for (char c : target.local ? std::string("-local") : target.host)
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '@' ? c : '_';
    return base + "/quorl-socket-forward/deployed/" + name;
}

void Record(const SshTarget& target, const std::string& program) {
    const std::filesystem::path path = RecordPath(target);
    const std::string folder = path.parent_path().string();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error && chmod(folder.c_str(), 0700) != 0) error.assign(errno, std::generic_category());
    if (error) throw ProgramError("Could not make the private folder " + folder + ": " + error.message() + ".");
    WriteFile(path.string(), program + "\n");
}

// Puts `program` on the host at `path` and reads it back. Under a temporary
// name first, so that a half-copied program is never run; a program in use
// can still be renamed out of the way.
void PlaceProgram(HostFiles& files, const std::string& name, const std::string& program, const std::string& path) {
    const std::string part = path + ".part", old = path + ".old";
    files.MakeFolder("Programs");
    files.MakeFolder(kDeployFolder);
    files.Remove(part);
    files.Write(part, program);
    files.Remove(old);
    files.Rename(path, old, true);
    files.Rename(part, path, false);
    files.Remove(old);
    files.Commit("upload the program");
    if (files.Read(path, "read the program back") != program)
        throw ProgramError("The program on " + name + " is not the one uploaded.");
}

// Appends the planned lines to the host's allowlist (`allowlist` as read
// before anything changed); true when it did.
bool AddToAllowlist(HostFiles& files, const std::string& name, const std::optional<std::string>& allowlist,
                    const std::vector<AllowlistAddition>& plan, const std::function<void(const std::string&)>& say) {
    std::string additions;
    for (const AllowlistAddition& entry : plan) {
        if (!entry.add) {
            say(entry.line + " is in the allowlist already");
            continue;
        }
        additions += entry.line + "\r\n";
        say("adding " + entry.line + " to the allowlist");
    }
    if (additions.empty()) return false;
    // What is appended lies past the end that was read: a file edited since
    // would be torn, or its edit undone.
    if (files.Read(kRemoteAllowlist, "read the allowlist") != allowlist)
        throw ProgramError("The allowlist on " + name +
                           " changed while deploy ran, so nothing was added to it; run deploy again.");
    if (allowlist) {
        if (!allowlist->empty() && allowlist->back() != '\n') additions = "\r\n" + additions;
        files.Append(kRemoteAllowlist, *allowlist, additions);
        files.Commit("add to the allowlist");
    } else {
        // New, in a new folder: both take the profile's inherited
        // permissions, which only the user and the system may change.
        files.MakeFolder("QuorlSSH");
        files.Write(kRemoteAllowlist, "# pipes added by quorl-socket-forward deploy\r\n" + additions);
        files.Commit("write the allowlist");
    }
    return true;
}

}  // namespace

std::string LastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' '))
        trimmed.pop_back();
    std::size_t newline = trimmed.find_last_of('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

ProgramAnswers AskProgram(const SshTarget& ssh, const std::string& program) {
    // One command each: through WSL's interop a line holds one quoted path at
    // most. Its last line is the answer; a host may greet before it.
    ProgramAnswers answers;
    for (const char* option : {"--version", "--platform"}) {
        CommandResult result = Remote(ssh, RemoteCommandLine(ssh.shell, {program, option}));
        std::string answer = LastLine(result.output);
        if (!answer.empty()) answers.lines.push_back(TrimAsciiSpace(answer));
        if (!result.errors.empty()) answers.lastError = LastLine(result.errors);
    }
    return answers;
}

std::vector<ServiceAnswer> AskService(const SshTarget& ssh, const std::string& program, const std::string& frames) {
    CommandResult result = Remote(ssh, RemoteCommandLine(ssh.shell, {program, "service"}), frames);
    std::size_t hello = result.output.find(EncodeFrame(FrameType::Hello, 0, {}));
    if (hello == std::string::npos)
        throw ProgramError("The program on " + TargetName(ssh) +
                           " did not start in service mode: " + LastLine(result.errors));
    FrameBuffer input;
    input.AppendInput(result.output.data() + hello, result.output.size() - hello);
    std::vector<ServiceAnswer> answers;
    FrameView frame;
    while (input.ParseFrame(frame) == ParseStatus::Ok) {
        if (frame.streamId != 0)
            answers.push_back({frame.streamId, static_cast<FrameType>(frame.type), PayloadText(frame)});
        input.ConsumeFrame();
    }
    return answers;
}

std::string SftpPath(const std::string& path) {
    const char* what = path.find('"') != std::string::npos    ? "contains '\"'"
                       : path.find('\r') != std::string::npos ? "contains a carriage return"
                       : path.find('\n') != std::string::npos ? "contains a line feed"
                       : !path.empty() && path.back() == '\\' ? "ends with a backslash"
                                                              : nullptr;
    if (what != nullptr) throw ProgramError("Cannot give sftp the path " + path + ": it " + what + ".");
    return "\"" + path + "\"";
}

HostFacts ParseHostFacts(const std::string& host, const std::string& answer, bool overSftp) {
    std::vector<std::string> fields;
    std::istringstream in(answer);
    for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
    fields.resize(3);
    if (fields[0] != "ARM64" && fields[0] != "AMD64")
        throw ProgramError("The processor architecture of " + host + " is \"" + fields[0] +
                           "\"; quorl-socket-bridge runs on ARM64 and x64 Windows only.");
    // sftp starts in the profile folder, so the program's folder is reached as
    // AppData/Local/... only where %LOCALAPPDATA% is in its usual place.
    if (overSftp && AsciiLower(fields[1]) != AsciiLower(fields[2] + "\\AppData\\Local"))
        throw ProgramError("%LOCALAPPDATA% on " + host + " is " + fields[1] + ", not in the profile folder " +
                           fields[2] + "; deploy supports only its usual place.");
    return HostFacts{fields[0] == "ARM64" ? "arm64" : "x64", fields[1]};
}

std::vector<AllowlistAddition> PlanAllowlist(const std::string& host, const std::string& content,
                                             const std::vector<AllowlistLine>& allow) {
    std::vector<AllowlistLine> listed;
    for (const std::string& line : AllowlistEntryLines(content)) {
        try {
            listed.push_back(ParseAllowlistLine(line));
        } catch (const ProgramError&) {
        }
    }
    std::vector<AllowlistAddition> plan;
    for (const AllowlistLine& wanted : allow) {
        const std::string text = AllowlistLineText(wanted);
        const auto first = std::find_if(listed.begin(), listed.end(),
                                        [&](const AllowlistLine& entry) { return entry.path == wanted.path; });
        if (first == listed.end()) {
            listed.push_back(wanted);
            plan.push_back({text, true});
        } else if (first->entry.servedBy == wanted.entry.servedBy) {
            plan.push_back({text, false});
        } else {
            throw ProgramError("The allowlist on " + host + " lists the pipe as " + AllowlistLineText(*first) +
                               ", not as " + text + "; deploy only adds lines, so change that line on the host.");
        }
    }
    return plan;
}

std::string DeployedProgram(const SshTarget& target) {
    const std::optional<std::string> text = ReadFile(RecordPath(target).string());
    return text ? TrimAsciiSpace(text->substr(0, text->find('\n'))) : std::string();
}

void RunDeploy(const DeployOptions& options, const std::function<void(const std::string&)>& say) {
    const SshTarget& ssh = options.ssh;
    const std::string name = TargetName(ssh);
    if (ssh.shell == RemoteShell::Posix)
        throw ProgramError("deploy needs a Windows host whose SSH server runs commands with cmd or powershell.");
    HostFacts host = Probe(ssh);
    say(name + ": Windows " + host.arch + ", %LOCALAPPDATA% " + host.localAppData);

    const std::string from = options.from.empty() ? LocalProgramsFolder() : options.from;
    const std::string localProgram = from + "/windows-" + host.arch + "/quorl-socket-bridge.exe";
    const std::string program = ReadFile(localProgram).value_or("");
    if (program.empty())
        throw ProgramError("There is no " + host.arch + " program at " + localProgram +
                           "; give --from the folder that holds windows-" + host.arch + "/quorl-socket-bridge.exe.");
    const std::string remoteProgram = std::string(kDeployFolder) + "/quorl-socket-bridge.exe";
    const std::string windowsProgram = host.localAppData + "\\Programs\\quorl-socket-bridge\\quorl-socket-bridge.exe";
    // A path that WSL's interop cannot pass to cmd.exe is refused before anything is copied.
    if (ssh.local) SshCommandLine(ssh, RemoteCommandLine(ssh.shell, {windowsProgram, "service"}));

    std::unique_ptr<HostFiles> files;
    if (ssh.local) files = LocalHostFiles(WslPath(host.localAppData));
    else files = SftpHostFiles(ssh);
    const std::optional<std::string> there = files->Read(remoteProgram, "read what is there");
    // Before anything changes on the host.
    std::optional<std::string> allowlist;
    if (!options.allow.empty()) allowlist = files->Read(kRemoteAllowlist, "read the allowlist");
    const std::vector<AllowlistAddition> plan = PlanAllowlist(name, allowlist.value_or(std::string()), options.allow);

    bool changed = there != program;
    if (changed) {
        PlaceProgram(*files, name, program, remoteProgram);
        say(std::string(there ? "replaced " : "installed ") + windowsProgram);
    } else {
        say(windowsProgram + " is the same program already");
    }
    CheckRunsThere(ssh, windowsProgram, host.arch);
    say("it answers: " + std::string(kVersionLine) + ", " + host.arch + " windows");

    if (AddToAllowlist(*files, name, allowlist, plan, say)) changed = true;
    if (!options.allow.empty()) {
        std::vector<std::string> pipes;
        for (const AllowlistLine& entry : options.allow) pipes.push_back(entry.path);
        ConfirmAllowlisted(ssh, windowsProgram, pipes, say);
    }
    Record(ssh, windowsProgram);
    const std::string option = ssh.local ? "--local" : "--ssh " + ssh.host;
    say(changed ? "done; quorl-socket-forward " + option + " now runs this program"
                : "nothing changed: " + name + " has this program and these pipes already");
}
