#include "cli/command_line.h"

#include "pipes/pipe_path.h"
#include "text/program_error.h"

void RunCommandLine(const std::vector<std::string>& args, const ProgramActions& actions) {
    // The default location is resolved before any argument is looked at, so a
    // machine where it cannot be found fails even for --version.
    WideString allowlistPath = actions.defaultAllowlistPath();

    std::size_t first = 0;
    if (args.size() >= 2 && args[0] == "--user-allowlist") {
        allowlistPath = Utf8ToWide(args[1]);
        first = 2;
    }
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());

    if (rest.size() == 1) {
        const std::string& word = rest[0];
        if (word == "--version") {
            actions.printLine(kVersionLine);
        } else if (word == "--platform") {
            actions.printLine(actions.platformLine());
        } else if (word == "--install-quorl-tholm") {
            actions.installQuorlTholm();
            actions.printLine(actions.productPipeName());
        } else if (word == "--quorl-tholm") {
            const std::string name = actions.productPipeName();
            if (actions.isPipeAllowlisted(name, allowlistPath)) actions.printLine(name);
        } else if (word == "service") {
            actions.runStreamEngine(EngineMode::Service, std::string(), allowlistPath);
        } else {
            throw ProgramError(kUsageMessage);
        }
        return;
    }
    if (rest.size() == 3 && rest[0] == "bridge" && rest[1] == "--socket") {
        const std::string pipe = ValidatePipePath(rest[2]);
        actions.runStreamEngine(EngineMode::Bridge, pipe, allowlistPath);
        return;
    }
    throw ProgramError(kUsageMessage);
}
