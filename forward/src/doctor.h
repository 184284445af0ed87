#pragma once
// quorl-socket-forward doctor: walks the chain from ssh to a pipe's server in
// order and says, one line per step, what it found and, for a failure, the
// one thing to do next. It only asks: nothing on the host changes (no Open
// reaches a pipe that has no server, so no task is started).

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "remote_command.h"

struct DoctorOptions {
    SshTarget ssh;  // its program: --remote-program, else the deployed one, else PATH's
    bool programGiven = false;
    bool shellGiven = false;
    std::vector<std::string> pipes;  // canonical
};

// The shell that answered doctor's probe with `output`, from the line that
// carries the probe's mark; nothing when no shell of the three answers so.
std::optional<RemoteShell> ShellFromProbe(const std::string& output);

// What to do about the bridge's refusal of a pipe's server (its OpenFailed
// sentence), for `pipe` on the host of `options`.
std::string RefusalAdvice(const DoctorOptions& options, const std::string& pipe, const std::string& sentence);

// Walks the chain, saying each step's line on `say`; returns 0 when every step
// passed, 1 otherwise.
int RunDoctor(const DoctorOptions& options, const std::function<void(const std::string&)>& say);
