#include "doctor.h"

#include <poll.h>
#include <sys/wait.h>

#include <cerrno>

#include "activation/activation_registrations.h"
#include "activation/connect_pipe.h"
#include "allowlist/allowlist.h"
#include "bridge_session.h"
#include "channel_link.h"
#include "clock.h"
#include "command.h"
#include "deploy.h"
#include "os/system_codes.h"
#include "pipes/pipe_security.h"
#include "signal_pipe.h"
#include "text/encoding.h"
#include "text/error_text.h"
#include "text/program_error.h"

namespace {

constexpr int kRemoteMs = 60000;
constexpr const char* kShellProbe = "echo qsf-shell-probe:'a''b'";
constexpr const char* kProbeMark = "qsf-shell-probe:";
// ssh's own status for a failure of its own (no connection, no login).
constexpr int kSshFailed = 255;
constexpr const char* kAllowlistFile = "%LOCALAPPDATA%\\QuorlSSH\\http-pipe.allow";

struct StepReport {
    bool ok = false;
    std::string found;
    std::string next;  // for a failure: what to do; a command to paste comes last, without a full stop
};

StepReport Ok(std::string found) { return {true, std::move(found), ""}; }

StepReport Failed(std::string found, std::string next) { return {false, std::move(found), std::move(next)}; }

// `quorl-socket-forward deploy` with the host and ssh options of `options` and
// `more`, quoted for the user's shell.
std::string DeployCommand(const DoctorOptions& options, const std::vector<std::string>& more) {
    std::vector<std::string> words{"quorl-socket-forward", "deploy"};
    if (options.ssh.local) words.push_back("--local");
    else words.insert(words.end(), {"--ssh", TargetName(options.ssh)});
    for (const std::string& option : options.ssh.options) words.insert(words.end(), {"--ssh-option", option});
    if (options.ssh.shell != RemoteShell::Cmd)
        words.insert(words.end(), {"--remote-shell", RemoteShellName(options.ssh.shell)});
    words.insert(words.end(), more.begin(), more.end());
    return RemoteCommandLine(RemoteShell::Posix, words);
}

// Steps in order, each said as "STEP: ok: FOUND" or "STEP: failed: FOUND.
// Next: NEXT"; once one has failed, the rest are only named, "STEP: skipped".
class Chain {
public:
    Chain(const std::function<void(const std::string&)>& say, bool broken) : say_(say), broken_(broken) {}

    bool Broken() const { return broken_; }

    void Step(const std::string& name, const std::function<StepReport()>& run) {
        if (broken_) return say_(name + ": skipped");
        StepReport report;
        try {
            report = run();
        } catch (const ProgramError& error) {
            report = Failed(error.what(), "");
        }
        broken_ = !report.ok;
        if (report.ok) return say_(name + ": ok: " + report.found);
        // `found` may be a sentence of the bridge's, with its full stop.
        say_(name + ": failed: " + report.found + (report.found.ends_with('.') ? "" : ".") +
             (report.next.empty() ? "" : " Next: " + report.next));
    }

private:
    const std::function<void(const std::string&)>& say_;
    bool broken_;
};

// The first step: whether ssh logs in and runs the probe without a prompt.
StepReport CheckSsh(const SshTarget& ssh, const CommandResult& probe) {
    const bool answered = probe.output.find(kProbeMark) != std::string::npos;
    if (!answered && WIFEXITED(probe.status) && WEXITSTATUS(probe.status) == kSshFailed) {
        std::vector<std::string> argv = SshCommandLine(ssh, "exit");
        return Failed("ssh could not run a command on " + TargetName(ssh) + ": " + LastLine(probe.errors),
                      "make this log in without a prompt (with a key loaded by ssh-add, say): " +
                          RemoteCommandLine(RemoteShell::Posix, argv));
    }
    return Ok(TargetName(ssh) + " runs commands without a prompt");
}

StepReport CheckShell(const DoctorOptions& options, const CommandResult& probe) {
    const std::optional<RemoteShell> shell = ShellFromProbe(probe.output);
    const std::string assumed = RemoteShellName(options.ssh.shell);
    if (!shell)
        return Failed(
            "the host answered the probe with \"" + LastLine(probe.output + "\n" + probe.errors) +
                "\", as none of cmd, powershell and posix does",
            "give --remote-shell with the shell that " + TargetName(options.ssh) + "'s SSH server runs commands with.");
    if (*shell != options.ssh.shell)
        return Failed(std::string(RemoteShellName(*shell)) + ", not " + assumed + " as --remote-shell " +
                          (options.shellGiven ? "says" : "assumes by default"),
                      "give --remote-shell " + std::string(RemoteShellName(*shell)) + ".");
    return Ok(assumed + (options.shellGiven ? ", as --remote-shell says" : ", as --remote-shell assumes by default"));
}

StepReport CheckProgram(const DoctorOptions& options, const std::string& where) {
    const ProgramAnswers answers = AskProgram(options.ssh, options.ssh.program);
    const std::vector<std::string>& lines = answers.lines;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i].starts_with("quorl-socket-bridge ") && lines[i + 1].ends_with(" windows"))
            return Ok(where + " answers \"" + lines[i] + "\", \"" + lines[i + 1] + "\"");
    const std::string said = lines.empty() ? answers.lastError : lines.back();
    return Failed(where + " does not answer as quorl-socket-bridge: " + (said.empty() ? "it printed nothing" : said),
                  std::string(options.programGiven ? "leave out --remote-program and put" : "put") +
                      " the program there: " + DeployCommand(options, {}));
}

// What the service-mode session said of one pipe.
struct ServiceFacts {
    std::optional<ServiceAnswer> listing;
    std::optional<ServiceAnswer> state;
};

constexpr std::uint32_t kQueryId = 1;
constexpr std::uint32_t kWatchId = 2;

ServiceFacts AskAboutPipe(const SshTarget& ssh, const std::string& pipe) {
    ServiceFacts facts;
    const std::string frames =
        EncodeFrame(FrameType::AllowlistQuery, kQueryId, pipe) + EncodeFrame(FrameType::Watch, kWatchId, pipe);
    for (const ServiceAnswer& answer : AskService(ssh, ssh.program, frames)) {
        if (answer.id == kQueryId) facts.listing = answer;
        if (answer.id == kWatchId && answer.type == FrameType::WatchState) facts.state = answer;
        // A refused watch answers for the pipe as the query does.
        if (answer.id == kWatchId && answer.type == FrameType::ServiceReply && !answer.payload.empty())
            facts.state = answer;
    }
    return facts;
}

StepReport CheckListed(const DoctorOptions& options, const std::string& pipe, const ServiceFacts& facts) {
    const std::string host = TargetName(options.ssh);
    if (!facts.listing) return Failed("the bridge gave no answer about " + pipe, "");
    if (facts.listing->type == FrameType::AllowlistReply) return Ok("listed in the allowlist on " + host);
    if (facts.listing->payload == kNotAllowlistedMessage)
        return Failed("not in the allowlist on " + host, DeployCommand(options, {"--allow", pipe}));
    // The control file's own trust rules, or an entry the grammar refuses.
    return Failed("the bridge refuses the allowlist on " + host + ": " + facts.listing->payload,
                  "mend " + std::string(kAllowlistFile) + " on " + host + " as that sentence says.");
}

// The task registered to start the server of `pipe`, from the file the
// bridge reads for it, through the host's shell; empty when none is (or the
// shell is a POSIX one, which has no such file).
std::string RegisteredTask(const SshTarget& ssh, const std::string& pipe) {
    if (ssh.shell == RemoteShell::Posix) return "";
    // WSL's interop passes no quotes but around a first word: there the
    // folder goes unquoted, and a profile folder with a space finds no task.
    const char* line = ssh.local ? "type %LOCALAPPDATA%\\org.quorlssh\\activations.tsv"
                       : ssh.shell == RemoteShell::Cmd
                           ? "type \"%LOCALAPPDATA%\\org.quorlssh\\activations.tsv\""
                           : "Get-Content -Raw \"$env:LOCALAPPDATA\\org.quorlssh\\activations.tsv\"";
    const CommandResult result = RunToEnd(SshCommandLine(ssh, line), "", kRemoteMs);
    if (result.status != 0 || result.output.empty()) return "";
    const ActivationRegistrations table = ParseActivationRegistrations(result.output);
    const auto found = table.find(pipe);
    return found == table.end() ? "" : WideToUtf8(found->second);
}

StepReport CheckServer(const DoctorOptions& options, const std::string& pipe, const ServiceFacts& facts) {
    if (!facts.state) return Failed("the bridge reported no state for " + pipe, "");
    if (facts.state->type == FrameType::ServiceReply) return Failed(facts.state->payload, "");
    const char state = facts.state->payload.empty() ? '\x02' : facts.state->payload[0];
    if (state == '\x01') return Ok("a server is running for " + pipe);
    if (state != '\x00') return Failed("the bridge cannot tell whether a server is running for " + pipe, "");
    const std::string host = TargetName(options.ssh);
    const std::string task = RegisteredTask(options.ssh, pipe);
    if (task.empty())
        return Failed("no server is running for " + pipe, "start the program that serves it on " + host + ".");
    // Running the task is the host's business: doctor starts nothing.
    return Failed("no server is running for " + pipe + "; the task " + task +
                      " registered for it would start it at the first connection",
                  "run schtasks /run /tn \"" + task + "\" on " + host + ", then doctor again.");
}

// What one bridge-mode session showed: the Open's answer and the timings.
struct BridgeFacts {
    bool opened = false;
    std::string answer;  // the label, or the refusal
    std::int64_t pingMs = 0;
    std::int64_t openMs = 0;
};

// A short exchange of frames with a bridge, every wait bounded by one deadline.
class BridgeExchange {
public:
    BridgeExchange(const SshTarget& ssh, const std::string& pipe)
        : command_(SshCommand(ssh, {"bridge", "--socket", pipe})),
          errors_(command_.Errors(), false, nullptr),
          link_(command_.Output(), command_.Input(), clock_, KeepAliveTiming{}),
          deadlineMs_(clock_.NowMs() + kRemoteMs) {}

    std::int64_t NowMs() { return clock_.NowMs(); }
    void Send(FrameType type, std::uint32_t id, const std::string& payload) {
        link_.Send(type, id, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
    }
    // The next frame of `type` on stream `id`, or of `other`; others are passed over.
    ServiceAnswer Await(FrameType type, std::uint32_t id, FrameType other = FrameType::Hello);

private:
    void Turn();

    SteadyClock clock_;
    Command command_;
    CommandErrorText errors_;
    ChannelLink link_;
    std::int64_t deadlineMs_;
};

void BridgeExchange::Turn() {
    const std::int64_t left = deadlineMs_ - clock_.NowMs();
    if (left <= 0)
        throw ProgramError("The bridge did not answer within " + std::to_string(kRemoteMs / 1000) + " seconds.");
    pollfd fds[3] = {{link_.InFd(), POLLIN, 0}, {SignalFd(), POLLIN, 0}, {link_.OutFd(), POLLOUT, 0}};
    if (poll(fds, link_.WantsWrite() ? 3 : 2, static_cast<int>(left)) < 0 && errno != EINTR)
        throw ProgramError("Could not wait for the bridge.");
    if (fds[1].revents != 0) TakeSignals(fds[1].fd);
    // A Ctrl-C reaches ssh too, which may end first.
    if (StopRequested()) EndForStop(command_, "the bridge");
    if (fds[2].revents != 0 && !link_.WriteSome()) throw ProgramError("The bridge stopped reading its input.");
    if (fds[0].revents != 0 && !link_.ReadSome()) {
        const int status = ReapCommand(command_, errors_);
        const std::string said = errors_.LastLine();
        throw ProgramError("The bridge ended with " + DescribeExit(status) + (said.empty() ? "." : ": " + said));
    }
}

ServiceAnswer BridgeExchange::Await(FrameType type, std::uint32_t id, FrameType other) {
    for (;;) {
        FrameView view;
        const ParseStatus status = link_.Parse(view);
        if (status == ParseStatus::Ok) {
            ServiceAnswer frame{view.streamId, static_cast<FrameType>(view.type), PayloadText(view)};
            link_.Consume();
            if (frame.id == id && (frame.type == type || frame.type == other)) return frame;
            continue;
        }
        if (status != ParseStatus::NeedMore) throw ProgramError("The bridge sent an invalid frame.");
        Turn();
    }
}

BridgeFacts OpenThrough(const SshTarget& ssh, const std::string& pipe) {
    BridgeExchange bridge(ssh, pipe);
    bridge.Await(FrameType::Hello, 0);
    BridgeFacts facts;
    std::int64_t start = bridge.NowMs();
    bridge.Send(FrameType::Ping, 0, "doctor");
    bridge.Await(FrameType::Pong, 0);
    facts.pingMs = bridge.NowMs() - start;
    start = bridge.NowMs();
    bridge.Send(FrameType::Open, 1, "");
    const ServiceAnswer answer = bridge.Await(FrameType::Opened, 1, FrameType::OpenFailed);
    facts.openMs = bridge.NowMs() - start;
    facts.opened = answer.type == FrameType::Opened;
    facts.answer = answer.payload;
    return facts;
}

StepReport CheckIdentity(const DoctorOptions& options, const std::string& pipe, const BridgeFacts& facts) {
    if (facts.opened)
        return Ok(facts.answer.empty() ? "the bridge opens it; its server runs as you"
                                       : "the bridge opens it, served by " + facts.answer);
    return Failed(OpenFailedMessage(pipe, facts.answer), RefusalAdvice(options, pipe, facts.answer));
}

void WalkPipe(const DoctorOptions& options, const std::string& pipe, Chain& chain) {
    ServiceFacts service;
    BridgeFacts bridge;
    chain.Step("allowlist " + pipe, [&] {
        service = AskAboutPipe(options.ssh, pipe);
        return CheckListed(options, pipe, service);
    });
    chain.Step("server " + pipe, [&] { return CheckServer(options, pipe, service); });
    chain.Step("identity " + pipe, [&] {
        bridge = OpenThrough(options.ssh, pipe);
        return CheckIdentity(options, pipe, bridge);
    });
    chain.Step("round trip " + pipe, [&] {
        return Ok("Ping " + std::to_string(bridge.pingMs) + " ms, Open to Opened " + std::to_string(bridge.openMs) +
                  " ms");
    });
}

}  // namespace

std::optional<RemoteShell> ShellFromProbe(const std::string& output) {
    const std::size_t at = output.find(kProbeMark);
    if (at == std::string::npos) return std::nullopt;
    std::string answer = output.substr(at + std::string(kProbeMark).size());
    answer = answer.substr(0, answer.find_first_of("\r\n"));
    while (!answer.empty() && answer.back() == ' ') answer.pop_back();
    // cmd.exe keeps single quotes, PowerShell reads '' inside them as one,
    // a POSIX shell joins the two quoted words.
    if (answer == "'a''b'") return RemoteShell::Cmd;
    if (answer == "a'b") return RemoteShell::PowerShell;
    if (answer == "ab") return RemoteShell::Posix;
    return std::nullopt;
}

std::string RefusalAdvice(const DoctorOptions& options, const std::string& pipe, const std::string& sentence) {
    const std::string where = " in " + std::string(kAllowlistFile) + " on " + TargetName(options.ssh);
    if (sentence == kPlainPipeOwnerMessage || sentence == kServerUserMessage)
        // deploy only adds lines, and the pipe is listed already.
        return "if you trust the account that serves it, replace the line " + pipe + where + " with '" + pipe +
               " served-by SID' (that account's SID, S-1-5-18 for LocalSystem), or remove that line and run " +
               DeployCommand(options, {"--allow", pipe + " served-by SID"});
    if (sentence == kServedByOwnerMessage)
        return "correct the served-by of " + pipe + where + " to the account that serves it, or stop that server.";
    if (sentence == kPipeOwnerMessage)
        return "stop whatever holds " + pipe + " on " + TargetName(options.ssh) +
               ": its name promises an account that does not serve it.";
    // The server went away after the watch saw it.
    if (sentence == WithWindowsError(kPipeUnavailableMessage, kErrorFileNotFound))
        return "start the program that serves " + pipe + " on " + TargetName(options.ssh) + ".";
    if (sentence == WithWindowsError(kPipeUnavailableMessage, kErrorPipeBusy))
        return "try again once a client of " + pipe + " has let go, or have its server make more instances.";
    return "mend the server of " + pipe + " on " + TargetName(options.ssh) + ": the bridge refuses it as it is.";
}

int RunDoctor(const DoctorOptions& options, const std::function<void(const std::string&)>& say) {
    const std::string& program = options.ssh.program;
    const std::string where = options.programGiven               ? program
                              : program == kDefaultRemoteProgram ? program + " on the host's PATH"
                                                                 : "the deployed " + program;
    Chain chain(say, false);
    CommandResult probe;
    chain.Step(options.ssh.local ? "cmd.exe" : "ssh", [&] {
        probe = RunToEnd(SshCommandLine(options.ssh, kShellProbe), "", kRemoteMs);
        return CheckSsh(options.ssh, probe);
    });
    chain.Step("shell", [&] { return CheckShell(options, probe); });
    chain.Step("program", [&] { return CheckProgram(options, where); });
    bool allPassed = !chain.Broken();
    for (const std::string& pipe : options.pipes) {
        Chain pipeChain(say, chain.Broken());
        WalkPipe(options, pipe, pipeChain);
        allPassed = allPassed && !pipeChain.Broken();
    }
    return allPassed ? 0 : 1;
}
