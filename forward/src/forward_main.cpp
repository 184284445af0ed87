#include "forward_main.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "command.h"
#include "options.h"
#include "session.h"
#include "text/program_error.h"

namespace {

// The write end of the stop pipe. A signal handler can reach nothing else; it
// is set once, before the handlers are installed, and never changed.
int stopSignalFd = -1;

extern "C" void OnStopSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(stopSignalFd, &byte, 1);
    (void)ignored;
    errno = saved;
}

void Problem(const std::string& sentence) { std::fprintf(stderr, "quorl-socket-forward: %s\n", sentence.c_str()); }

void Line(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

// The stop pipe: readable once SIGINT or SIGTERM has arrived.
UniqueFd InstallStopSignals() {
    int ends[2];
    if (pipe(ends) != 0) throw ProgramError("Could not create a pipe.");
    for (int fd : ends) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    stopSignalFd = ends[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return UniqueFd(ends[0]);
}

bool StopRequested(int stopFd) {
    pollfd fd{stopFd, POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

// The command's last words may still be in its stderr pipe after it exited.
void DrainErrors(CommandErrorText& errors, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (errors.Fd() >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd fd{errors.Fd(), POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return;
        if (!errors.ReadSome()) return;
    }
}

}  // namespace

int RunForwarder(const std::vector<std::string>& args) {
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
    signal(SIGPIPE, SIG_IGN);
    try {
        UniqueFd stop = InstallStopSignals();
        Command command(options.command);
        CommandErrorText errors(command.Errors(), options.verbose, Problem);
        SessionIo io{command.Output(), command.Input(), stop.get(), -1};
        SessionOptions sessionOptions;
        sessionOptions.verbose = options.verbose;
        SteadyClock clock;
        SessionEnd end;
        if (options.watch) {
            WatchSession session(io, options.pipes, sessionOptions, clock, SessionOutput{Problem, Line});
            session.SetCommandErrorText(&errors);
            end = session.Run();
        } else {
            // Destroying the session closes every local connection and
            // removes the Unix sockets it created.
            BridgeSession session(io, options.listen, sessionOptions, clock, SessionOutput{Problem, Line});
            session.SetCommandErrorText(&errors);
            end = session.Run();
        }
        if (end == SessionEnd::Stopped) {
            command.Stop(5000);
            return 0;
        }
        int status = 0;
        if (!command.WaitExit(5000, status)) status = command.Stop(0);
        DrainErrors(errors, 1000);
        // A terminal's Ctrl-C reaches the command too, which may end first.
        if (StopRequested(stop.get())) return 0;
        std::string said = errors.LastLine();
        Problem("the command ended with " + DescribeExit(status) + (said.empty() ? "." : ": " + said));
        return 1;
    } catch (const ProgramError& error) {
        Problem(error.what());
        return 1;
    }
}
