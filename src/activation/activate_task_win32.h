#pragma once
// Starting the Task Scheduler task registered for a pipe.

#include <taskschd.h>

#include "os/windows_only_win32.h"
#include "pipes/pipe_security.h"
#include "text/encoding.h"

// Runs the task at `taskPath` (a full path from the root folder) unless it is
// queued or running; true when this call started it. Joins the multithreaded
// apartment for the call only (or uses the thread's own). Throws "Could not
// initialize Task Scheduler access.", "Could not activate task <path>
// (HRESULT 0x...).", or the principal check's messages.
bool ActivateTask(const WideString& taskPath);

// Run level, logon type and user id of `principal`, read in that order up to
// the first failed read; a null principal reads nothing.
TaskPrincipalFacts ReadTaskPrincipal(IPrincipal* principal);
