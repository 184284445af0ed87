#pragma once
// The process's real standard input and output for the engine.

#include "engine/standard_streams.h"
#include "os/windows_only_win32.h"

// Synchronous ReadFile on the standard input handle, fetched again per read;
// the reader's cancel is CancelSynchronousIo on its own thread.
StandardInput WindowsStandardInput();

// Synchronous WriteFile on the standard output handle, fetched again per
// write; a blocked write is cancelled with CancelIoEx on that handle.
StandardOutput WindowsStandardOutput();
