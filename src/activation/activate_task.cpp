#include "activation/activate_task.h"

HresultWording TaskActivationWording(const WideString& taskPath) {
    return SentenceWithHresult("Could not activate task " + WideToUtf8(taskPath));
}

bool ActivateTaskWith(const WideString& taskPath, const TaskActivationSteps& steps) {
    const HresultWording wording = TaskActivationWording(taskPath);
    steps.openTask(taskPath, wording);
    steps.readPrincipal(wording);
    steps.checkPrincipal();
    if (IsQueuedOrRunning(steps.readState(wording))) return false;
    steps.run(wording);
    return true;
}
