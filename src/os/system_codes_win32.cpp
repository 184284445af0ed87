// The copies in system_codes.h held to the Windows headers' names: a copy that
// drifts stops the Windows build.

#include <windows.h>
#include <taskschd.h>

#include "os/system_codes.h"

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorSemTimeout == ERROR_SEM_TIMEOUT);
static_assert(kErrorPipeBusy == ERROR_PIPE_BUSY);
static_assert(kDirectoryFileAttribute == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kReparsePointFileAttribute == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(kTaskStateQueued == TASK_STATE_QUEUED);
static_assert(kTaskStateRunning == TASK_STATE_RUNNING);
