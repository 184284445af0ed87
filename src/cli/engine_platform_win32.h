#pragma once
// The engine's operating system on Windows.

#include "engine/engine_loop.h"
#include "os/windows_only_win32.h"

// Runs one session on the real system (RunStreamEngine). In bridge mode, when
// the process may use more than one processor, a helper thread makes and
// closes the pipe transfers' I/O events for the run and is stopped when the
// run ends.
void RunWindowsStreamEngine(EngineMode mode, const std::string& bridgePipePath, const WideString& allowlistPath);
