#pragma once
// The command that carries the channel (typically ssh running the bridge on
// the Windows host): started with its standard input, output and error on
// pipes held by the forwarder.

#include <sys/types.h>

#include <string>
#include <vector>

#include "unique_fd.h"

class Command {
public:
    // Starts `argv` (looked up in PATH). The forwarder's ends of the pipes are
    // non-blocking and not inherited by later children. Throws ProgramError.
    explicit Command(const std::vector<std::string>& argv);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    // Ends the command as Stop() does if it is still running.
    ~Command();

    int Input() const { return input_.get(); }
    int Output() const { return output_.get(); }
    int Errors() const { return errors_.get(); }

    // Closes its standard input and output (a bridge ends its run normally at
    // the end of its input), gives it `graceMs` to exit, then SIGTERM and, a
    // second later, SIGKILL. Returns the wait status.
    int Stop(int graceMs);
    // Waits up to `timeoutMs` for the command to exit by itself; true with
    // `status` filled when it has.
    bool WaitExit(int timeoutMs, int& status);

    // Ends its standard input only.
    void CloseInput();

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    UniqueFd input_;
    UniqueFd output_;
    UniqueFd errors_;
};

// Ends `command` for a stop the user asked for (SIGINT, SIGTERM, SIGHUP) and
// throws ProgramError saying that `what` was stopped.
[[noreturn]] void EndForStop(Command& command, const std::string& what);

// "status N" or "signal N" for a wait status.
std::string DescribeExit(int status);

// What a command that ran to its end left.
struct CommandResult {
    int status = 0;  // the wait status
    std::string output;
    std::string errors;
};

// Runs `argv` with `input` as its standard input and collects its standard
// output and error (the first MiB of each), for at most `timeoutMs`. Throws ProgramError when it
// cannot be started or does not end in time (it is stopped then).
CommandResult RunToEnd(const std::vector<std::string>& argv, const std::string& input, int timeoutMs);
