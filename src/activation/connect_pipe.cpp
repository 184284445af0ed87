#include "activation/connect_pipe.h"

#include "pipes/pipe_path.h"
#include "text/error_text.h"
#include "text/program_error.h"

namespace {

struct WaitState {
    std::uint64_t deadline = 0;
    std::uint64_t nextRegistrationCheck = 0;
    bool registrationsChecked = false;
    bool registered = false;
    bool taskStarted = false;
};

// After the first check, registrations are read again only while the pipe
// stays registered and its task has not been started by this call, so an
// unregistered pipe costs one file load and a started task is never run twice.
bool RegistrationCheckDue(const WaitState& state, std::uint64_t now) {
    if (state.registrationsChecked && (state.taskStarted || !state.registered)) return false;
    return now >= state.nextRegistrationCheck;
}

void CheckRegistration(WaitState& state, const std::string& canonicalPath, const PipeConnectSeam& seam) {
    const std::map<std::string, WideString> registrations = seam.loadRegistrations();
    const auto found = registrations.find(canonicalPath);
    state.registered = found != registrations.end();
    if (state.registered && seam.activateTask(found->second)) state.taskStarted = true;

    // The time is read after the activation: a slow scheduler does not eat
    // into the time the task has to create its pipe.
    const std::uint64_t now = seam.tickCount();
    if (state.registered && !state.registrationsChecked) state.deadline = now + kActivatedPipeWaitLimitMs;
    state.nextRegistrationCheck = now + kRegistrationCheckIntervalMs;
    state.registrationsChecked = true;
}

[[noreturn]] void ThrowUnavailable(std::uint32_t error) {
    throw ProgramError(WithWindowsError(kPipeUnavailableMessage, error));
}

}  // namespace

std::string ConnectPipeWith(std::string_view pipePath, const PipeConnectSeam& seam) {
    const std::string canonicalPath = ValidatePipePath(pipePath);
    // The entry is read once: the identity it names is the one verified below.
    const std::optional<AllowlistEntry> entry = seam.findAllowlisted(canonicalPath);
    if (!entry) throw ProgramError(kNotAllowlistedMessage);
    const WideString pipe = Utf8ToWide(canonicalPath);

    WaitState state;
    state.deadline = seam.tickCount() + kPipeWaitLimitMs;
    for (;;) {
        const PipeOpenAttempt attempt = seam.open(canonicalPath);
        if (attempt.opened) break;

        const bool waitable = attempt.error == kErrorPipeBusy || attempt.error == kErrorFileNotFound;
        if (!waitable || seam.tickCount() >= state.deadline) ThrowUnavailable(attempt.error);
        if (attempt.error == kErrorPipeBusy) {
            seam.waitForInstance(pipe, kBusyPipeWaitMs);
            continue;
        }
        if (RegistrationCheckDue(state, seam.tickCount())) CheckRegistration(state, canonicalPath, seam);
        seam.sleep(kMissingPipePauseMs);
    }

    try {
        return seam.checkConnected(canonicalPath, entry->servedBy);
    } catch (...) {
        // The caller must not be left with, or lose, a handle to a refused server.
        seam.closeOpened();
        throw;
    }
}
