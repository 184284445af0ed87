#include "setup/setup_task.h"

#include "text/program_error.h"

namespace {

bool StillPending(std::int32_t state) { return state == kTaskStateQueued || state == kTaskStateRunning; }

}  // namespace

void WaitForSetupTask(const SetupTaskWatch& watch, std::uint64_t startTick) {
    const std::uint64_t deadline = startTick + kSetupTaskDeadlineMs;
    for (;;) {
        const std::optional<std::int32_t> state = watch.poll();
        if (!state || !StillPending(*state)) return;
        if (watch.tickCount() >= deadline) throw ProgramError(kSetupTimedOutMessage);
        watch.sleep(kSetupTaskPollMs);
    }
}
