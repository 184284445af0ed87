#pragma once
// The stop pipe: the one descriptor through which signals reach the poll
// loops. SIGINT, SIGTERM and SIGHUP (the terminal closed) ask the forwarder to
// stop; SIGCHLD says a child exited, so that waiting for one is a poll on this
// pipe rather than a sleep.

#include "unique_fd.h"

// Installs the handlers (once) and returns the pipe's read end.
UniqueFd InstallSignalPipe();
// Reads what the pipe holds now; true once a stop has arrived, now or before.
bool TakeSignals(int fd);
// Whether a stop has arrived, whoever read it from the pipe.
bool StopRequested();
// The pipe's read end, for a poll loop of its own (-1: none was installed).
int SignalFd();
// Waits up to `timeoutMs` for the next signal (-1: none was installed, then
// only the time passes).
void WaitForSignal(int timeoutMs);
