#pragma once
// What each command-line form runs on Windows, one place per form.

#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "os/windows_only_win32.h"

// The architecture this binary was built for: "arm64 windows" or "x64 windows".
std::string PlatformLine();

// The actions of the real program.
ProgramActions WindowsProgramActions();
