#pragma once
// Connecting a bridge stream to its named pipe.

#include <string>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "text/encoding.h"

// An open pipe whose server has been verified, and its display label.
struct ConnectedPipe {
    UniqueHandle pipe;
    std::string label;
};

// Opens `pipePath` for overlapped I/O after the allowlist at `allowlistPath`
// lists it, waiting while it is busy or missing and starting its registered
// task, then verifies who serves it. Blocks for up to 15 s plus the
// scheduler's time. Throws the messages of connect_pipe.h; no handle of its
// making stays open on failure.
ConnectedPipe ConnectPipe(const std::string& pipePath, const WideString& allowlistPath);
