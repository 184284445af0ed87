#include "cli/forms_win32.h"

#include <cstdio>

#include "allowlist/allowlist_location_win32.h"
#include "allowlist/allowlist_win32.h"
#include "cli/engine_platform_win32.h"
#include "pipes/product_pipe_win32.h"
#include "setup/setup_run_win32.h"
#include "text/program_error.h"

std::string PlatformLine() {
#if defined(_M_ARM64) || defined(__aarch64__)
    return "arm64 windows";
#elif defined(_M_X64) || defined(__x86_64__)
    return "x64 windows";
#else
#error "quorl-socket-bridge is built for ARM64 and x64 only"
#endif
}

namespace {

// Lines go through the C runtime's text-mode stdout, so each ends in CR LF on
// a Windows console or pipe.
void PrintLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0) throw ProgramError("Could not write to standard output.");
}

}  // namespace

ProgramActions WindowsProgramActions() {
    ProgramActions actions;
    actions.defaultAllowlistPath = [] { return DefaultAllowlistPath(); };
    actions.printLine = PrintLine;
    actions.platformLine = PlatformLine;
    actions.productPipeName = [] { return ProductPipeName(); };
    actions.isPipeAllowlisted = [](std::string_view pipePath, const WideString& allowlistPath) {
        return IsPipeAllowlisted(pipePath, allowlistPath);
    };
    actions.installQuorlTholm = [] { InstallQuorlTholm(); };
    actions.runStreamEngine = [](EngineMode mode, const std::string& pipePath, const WideString& allowlistPath) {
        RunWindowsStreamEngine(mode, pipePath, allowlistPath);
    };
    return actions;
}
