#pragma once
// The argument grammar and the start-up order. Every form's work is done
// elsewhere; the entry point hands in what each form runs.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_mode.h"
#include "text/encoding.h"

inline constexpr const char* kUsageMessage =
    "Usage: quorl-socket-bridge service | bridge --socket PIPE | --quorl-tholm | --platform | --version";
inline constexpr const char* kVersionLine = "quorl-socket-bridge 1 windows";

// What the forms run. Each member is called at most once per command line.
struct ProgramActions {
    std::function<WideString()> defaultAllowlistPath;
    std::function<void(std::string_view line)> printLine;
    std::function<std::string()> platformLine;
    std::function<std::string()> productPipeName;
    std::function<bool(std::string_view pipePath, const WideString& allowlistPath)> isPipeAllowlisted;
    std::function<void()> installQuorlTholm;
    std::function<void(EngineMode mode, const std::string& pipePath, const WideString& allowlistPath)> runStreamEngine;
};

// Runs one command line (the arguments after the program name). Throws the
// program error of whichever step fails; a normal return means exit status 0.
void RunCommandLine(const std::vector<std::string>& args, const ProgramActions& actions);
