#include "command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "signal_pipe.h"
#include "text/program_error.h"

extern char** environ;

namespace {

struct PipePair {
    UniqueFd read;
    UniqueFd write;
};

PipePair MakePipe() {
    int ends[2];
    if (pipe(ends) != 0) throw ProgramError(std::string("Could not create a pipe: ") + std::strerror(errno) + ".");
    return PipePair{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// The posix_spawn* calls return their error rather than set errno.
void Spawning(int result) {
    if (result != 0) throw ProgramError(std::string("Could not prepare the command: ") + std::strerror(result) + ".");
}

// Frees the spawn attributes and file actions on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        Spawning(posix_spawn_file_actions_init(&actions));
        if (int result = posix_spawnattr_init(&attributes); result != 0) {
            posix_spawn_file_actions_destroy(&actions);
            Spawning(result);
        }
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

Command::Command(const std::vector<std::string>& argv) {
    if (argv.empty()) throw ProgramError("Give the command that starts the bridge after --.");
    PipePair in = MakePipe();
    PipePair out = MakePipe();
    PipePair err = MakePipe();
    SpawnSetup setup;
    Spawning(posix_spawn_file_actions_adddup2(&setup.actions, in.read.get(), 0));
    Spawning(posix_spawn_file_actions_adddup2(&setup.actions, out.write.get(), 1));
    Spawning(posix_spawn_file_actions_adddup2(&setup.actions, err.write.get(), 2));
    // The forwarder ignores SIGPIPE and catches SIGINT/SIGTERM/SIGHUP/SIGCHLD; the command
    // starts with the default dispositions and an empty signal mask.
    sigset_t defaults, none;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, number);
    Spawning(posix_spawnattr_setsigdefault(&setup.attributes, &defaults));
    Spawning(posix_spawnattr_setsigmask(&setup.attributes, &none));
    Spawning(posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    for (int fd : {in.write.get(), out.read.get(), err.read.get()})
        if (!KeepToSelf(fd)) throw ProgramError(std::string("Could not create a pipe: ") + std::strerror(errno) + ".");
#ifdef F_SETPIPE_SZ
    // Larger channel pipes mean fewer wake-ups per megabyte on both sides
    // (Linux only); when it is refused, the system's size stays.
    for (int fd : {in.write.get(), out.read.get()}) (void)fcntl(fd, F_SETPIPE_SZ, 1048576);
#endif

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int result = posix_spawnp(&pid_, args[0], &setup.actions, &setup.attributes, args.data(), environ);
    if (result != 0) throw ProgramError("Could not start " + argv[0] + ": " + std::strerror(result) + ".");
    input_ = std::move(in.write);
    output_ = std::move(out.read);
    errors_ = std::move(err.read);
}

Command::~Command() {
    if (pid_ > 0 && !exited_) Stop(2000);
}

void Command::CloseInput() { input_.reset(); }

bool Command::WaitExit(int timeoutMs, int& status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!exited_) {
        int got = 0;
        pid_t done = waitpid(pid_, &got, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
            exited_ = true;
            status_ = done == pid_ ? got : 0;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // SIGCHLD wakes this; a signal that came before the waitpid above is still in the pipe.
        WaitForSignal(static_cast<int>(left.count()));
    }
    status = status_;
    return true;
}

int Command::Stop(int graceMs) {
    input_.reset();
    output_.reset();
    int status = 0;
    if (WaitExit(graceMs, status)) return status;
    kill(pid_, SIGTERM);
    if (WaitExit(1000, status)) return status;
    kill(pid_, SIGKILL);
    WaitExit(5000, status);
    return status;
}

void EndForStop(Command& command, const std::string& what) {
    command.Stop(0);
    throw ProgramError("Stopped, as asked, while " + what + " was running.");
}

std::string DescribeExit(int status) {
    if (WIFEXITED(status)) return "status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// What a command on the host says is read to its end but kept only up to
// here: a host cannot fill the forwarder's memory.
constexpr std::size_t kMaxKept = 1048576;

CommandResult RunToEnd(const std::vector<std::string>& argv, const std::string& input, int timeoutMs) {
    Command command(argv);
    CommandResult result;
    std::size_t written = 0;
    if (input.empty()) command.CloseInput();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int out = command.Output(), err = command.Errors();
    while (out >= 0 || err >= 0) {
        // Read before this command started, a stop still ends it: the caller
        // may have gone on to its next step.
        if (StopRequested()) EndForStop(command, argv[0]);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            command.Stop(0);
            throw ProgramError(argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " seconds.");
        }
        // A stop is not left waiting for the command's time-out: a signal
        // sent to the forwarder alone does not reach the command.
        pollfd fds[4] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {SignalFd(), POLLIN, 0}, {command.Input(), POLLOUT, 0}};
        nfds_t count = command.Input() >= 0 ? 4 : 3;
        if (poll(fds, count, static_cast<int>(left.count())) < 0 && errno != EINTR)
            throw ProgramError("Could not wait for " + argv[0] + ".");
        if (fds[2].revents != 0) TakeSignals(fds[2].fd);
        char block[65536];
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out : err;
            if (fd < 0 || fds[i].revents == 0) continue;
            ssize_t got = read(fd, block, sizeof block);
            if (got > 0) {
                std::string& kept = i == 0 ? result.output : result.errors;
                kept.append(block, std::min(static_cast<std::size_t>(got), kMaxKept - kept.size()));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                fd = -1;
            }
        }
        if (count == 4 && fds[3].revents != 0) {
            ssize_t sent = write(command.Input(), input.data() + written, input.size() - written);
            if (sent > 0) written += static_cast<std::size_t>(sent);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
            if (written == input.size()) command.CloseInput();
        }
    }
    command.CloseInput();
    if (!command.WaitExit(5000, result.status)) result.status = command.Stop(0);
    // A Ctrl-C reaches the command too, which may end before the forwarder
    // reads its own signal: what it left is not an answer.
    if (StopRequested()) EndForStop(command, argv[0]);
    return result;
}
