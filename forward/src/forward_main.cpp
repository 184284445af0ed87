#include "forward_main.h"

#include <signal.h>

#include <cstdio>
#include <new>
#include <optional>

#include "clock.h"
#include "command.h"
#include "deploy.h"
#include "doctor.h"
#include "options.h"
#include "signal_pipe.h"
#include "bridge_session.h"
#include "watch_session.h"
#include "socket_activation.h"
#include "terminal_text.h"
#include "text/program_error.h"

namespace {

// Everything the forwarder prints goes out here, and much of it quotes the
// host, which must not be able to drive the user's terminal.
void Problem(const std::string& sentence) {
    std::fprintf(stderr, "quorl-socket-forward: %s\n", ForTerminal(sentence).c_str());
}

// A reader that has gone (SIGPIPE is ignored for the sockets' sake) ends
// the program as the signal would have.
void Line(const std::string& line) {
    if (std::fprintf(stdout, "%s\n", ForTerminal(line).c_str()) < 0 || std::fflush(stdout) != 0)
        throw ProgramError("Could not write to standard output.");
}

constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;
// A session that lived this long was a working one: the next retry starts
// again from the shortest wait.
constexpr std::int64_t kHealthyMs = 60000;

// Why a session ended, from what the command left behind.
std::string DescribeSessionEnd(bool helloSeen, const std::string& greeting, int status, const std::string& lastError) {
    if (helloSeen)
        return "the command ended with " + DescribeExit(status) + (lastError.empty() ? "." : ": " + lastError);
    if (!greeting.empty())
        return "The bridge did not start; the remote command printed: \"" + GreetingLine(greeting) + "\".";
    // Its own words say why when it has any; silence usually means that the
    // command is not the bridge at all.
    if (!lastError.empty())
        return "the command ended with " + DescribeExit(status) + " before the bridge started: " + lastError;
    return "the command ended with " + DescribeExit(status) +
           " before the bridge started; check that it runs quorl-socket-bridge.";
}

std::string Seconds(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms / 1000.0).substr(0, 4) + " s";
}

int RunWatch(const ForwardOptions& options, int stopFd) {
    Command command(options.command);
    CommandErrorText errors(command.Errors(), options.session.verbose, Problem);
    SteadyClock clock;
    WatchSession session(SessionIo{command.Output(), command.Input(), stopFd}, options.pipes, options.session, clock,
                         SessionOutput{Problem, Line});
    session.SetCommandErrorText(&errors);
    if (session.Run() == SessionEnd::Stopped) {
        command.Stop(5000);
        return 0;
    }
    int status = ReapCommand(command, errors);
    // A terminal's Ctrl-C reaches the command too, which may end first.
    if (StopRequested()) return 0;
    Problem(DescribeSessionEnd(session.HelloSeen(), session.Greeting(), status, errors.LastLine()));
    return 1;
}

// How a session of the bridge ended, and what the supervisor is told of it.
struct Outcome {
    std::optional<SessionEnd> end;  // nothing: it failed
    std::string failure;
};

// One session on a new command: runs it until it ends, then collects the
// command's exit and last words.
Outcome RunSession(const ForwardOptions& options, BridgeSession& session, int stopFd) {
    Command command(options.command);
    CommandErrorText errors(command.Errors(), options.session.verbose, Problem);
    session.SetCommandErrorText(&errors);
    session.Attach(SessionIo{command.Output(), command.Input(), stopFd});
    Outcome outcome;
    try {
        outcome.end = session.Run();
    } catch (const ProgramError& error) {
        // Listeners that cannot be opened are the user's to fix, not the
        // session's: no reconnect helps.
        if (!options.reconnect || (session.HelloSeen() && !session.Listening())) throw;
        outcome.failure = error.what();
    }
    const bool helloSeen = session.HelloSeen();
    const std::string greeting = session.Greeting();
    session.Detach();
    session.SetCommandErrorText(nullptr);
    if (outcome.end == SessionEnd::Stopped || outcome.end == SessionEnd::Idle) {
        command.Stop(5000);
    } else if (!outcome.failure.empty()) {
        command.Stop(2000);
    } else {
        outcome.end.reset();
        int status = ReapCommand(command, errors);
        outcome.failure = DescribeSessionEnd(helloSeen, greeting, status, errors.LastLine());
    }
    return outcome;
}

// The reconnect policy: sessions one after another, with a growing wait
// between failed ones; while none runs, the listeners stay and connections
// wait. A lazy forwarder starts a session only when a connection arrives, and
// again after one ended for idleness. Returns the program's exit status.
int Supervise(const ForwardOptions& options, BridgeSession& session, int stopFd, bool activated) {
    const bool lazy = activated || options.session.idleEndMs >= 0;
    SteadyClock clock;
    int retryMs = kFirstRetryMs;
    for (;;) {
        while (lazy && session.WaitingConnections() == 0)
            if (session.Step(1000) == SessionEnd::Stopped) return 0;
        const std::int64_t startedMs = clock.NowMs();
        Outcome outcome = RunSession(options, session, stopFd);
        if (outcome.end == SessionEnd::Stopped || StopRequested()) return 0;
        if (outcome.end == SessionEnd::Idle) {
            if (options.session.verbose)
                Problem("the session ended after " + Seconds(static_cast<int>(options.session.idleEndMs)) +
                        " without connections.");
            // The service manager listens while no process does.
            if (activated) return 0;
            retryMs = kFirstRetryMs;
            continue;
        }
        if (!options.reconnect) {
            Problem(outcome.failure);
            return 1;
        }
        if (clock.NowMs() - startedMs >= kHealthyMs) retryMs = kFirstRetryMs;
        Problem(outcome.failure + " Reconnecting in " + Seconds(retryMs) + ".");
        const std::int64_t dueMs = clock.NowMs() + retryMs;
        for (std::int64_t now = clock.NowMs(); now < dueMs; now = clock.NowMs())
            if (session.Step(static_cast<int>(std::min<std::int64_t>(dueMs - now, 1000))) == SessionEnd::Stopped)
                return 0;
        retryMs = std::min(retryMs * 2, kLastRetryMs);
    }
}

int RunBridge(const ForwardOptions& options, int stopFd, std::vector<std::unique_ptr<Listener>> passed) {
    SteadyClock clock;
    const bool activated = !passed.empty();
    // Destroying the session closes every local connection and removes the
    // Unix sockets it created.
    BridgeSession session(SessionIo{-1, -1, stopFd}, options.listen, options.session, clock,
                          SessionOutput{Problem, Line});
    if (activated) {
        for (const ListenAddress& address : options.listen) passed.push_back(Listener::Open(address));
        session.AdoptListeners(std::move(passed));
    } else if (options.session.idleEndMs >= 0) {
        session.OpenListeners();
    }
    return Supervise(options, session, stopFd, activated);
}

int Forward(const std::vector<std::string>& args) {
    ForwardOptions options;
    try {
        options = ParseForwardOptions(args);
    } catch (const ProgramError& error) {
        Problem(error.what());
        std::fprintf(stderr, "Try 'quorl-socket-forward --help'.\n");
        return 1;
    }
    if (options.help) {
        std::fputs(kForwardHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", kForwardVersionLine);
        return 0;
    }
    try {
        if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) throw ProgramError("Could not install the signal handlers.");
        UniqueFd stop = InstallSignalPipe();
        if (options.deploy) {
            RunDeploy(DeployOptions{options.ssh, options.allow, options.from}, Line);
            return 0;
        }
        // A program that deploy put on the host is the one to run there,
        // unless another is named.
        if (options.viaSsh && !options.programGiven) {
            std::string deployed = DeployedProgram(options.ssh);
            if (!deployed.empty()) {
                options.ssh.program = deployed;
                options.command = SshCommand(options.ssh, options.bridgeArguments);
            }
        }
        if (options.doctor)
            return RunDoctor(DoctorOptions{options.ssh, options.programGiven, options.shellGiven, options.pipes}, Line);
        if (options.session.verbose) {
            std::string shown;
            for (const std::string& word : options.command) shown += (shown.empty() ? "" : " ") + word;
            Problem("running: " + shown);
        }
        if (options.watch) return RunWatch(options, stop.get());
        std::vector<std::unique_ptr<Listener>> passed = TakePassedListeners();
        if (passed.empty() && options.listen.empty()) throw ProgramError("Give at least one --listen address.");
        return RunBridge(options, stop.get(), std::move(passed));
    } catch (const ProgramError& error) {
        Problem(error.what());
        return 1;
    }
}

}  // namespace

int RunForwarder(const std::vector<std::string>& args) {
    try {
        return Forward(args);
    } catch (const std::bad_alloc&) {
        Problem("The forwarder ran out of memory.");
    } catch (const std::exception& error) {
        Problem(std::string("An unexpected error stopped the forwarder: ") + error.what() + ".");
    }
    return 1;
}
