#pragma once
// Reading the product's frames from its standard output in end-to-end tests.

#include <cstdint>

#include "support/child_process_win32.h"
#include "support/fake_engine.h"

// Exactly one frame, waiting at most `timeoutMs` for each part. A frame that
// does not come whole is returned as type 0 with a description as payload.
WireFrame ReadFrame(ChildProcess& child, std::uint32_t timeoutMs = 30000);
