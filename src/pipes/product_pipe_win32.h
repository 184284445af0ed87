#pragma once

#include <string>

#include "os/windows_only_win32.h"

// The companion product's pipe for the user running this process (see
// ProductPipeNameFor). Throws the messages of CurrentUserSid and of
// ValidatePipePath.
std::string ProductPipeName();
