// The program's command line and engine natively, for the transcript cases:
// real standard streams, the allowlist read from disk through the product's
// rules (with the file's trust answered by the fakes), and no pipes at all, so
// that the sanitizer builds and the mutation tool reach every case that needs
// no pipe server. The cases that do are left to the Windows builds.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "allowlist/allowlist.h"
#include "cli/command_line.h"
#include "engine/engine_loop.h"
#include "support/fake_control_files.h"
#include "support/fake_engine.h"
#include "text/program_error.h"

namespace {

// As the Windows text-mode streams end their lines.
constexpr const char* kLineEnd = "\r\n";

FakeFiles AllowlistOnDisk(const WideString& path) {
    FakeFiles files;
    std::ifstream file(WideToUtf8(path), std::ios::binary);
    if (!file) files.file.openError = 2;  // ERROR_FILE_NOT_FOUND: no allowlist
    else files.content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return files;
}

std::size_t ReadInput(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

std::size_t WriteOutput(const void* data, std::size_t size) {
    for (;;) {
        const ssize_t put = ::write(STDOUT_FILENO, data, size);
        if (put >= 0) return static_cast<std::size_t>(put);
        if (errno != EINTR) return 0;
    }
}

void RunEngine(EngineMode mode, const std::string& pipe, const WideString& allowlist) {
    FakeEngine fakes;  // no pipe exists, and an Open finds none
    EnginePlatform platform = fakes.Platform();
    platform.input = {[] { return std::function<void()>(); }, ReadInput};
    platform.output = {WriteOutput, nullptr};
    platform.tickCount = [] {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    };
    platform.inputWait = EnginePlatform().inputWait;
    platform.pumpStopLimit = EnginePlatform().pumpStopLimit;
    platform.requirePipeAllowlisted = [](std::string_view path, const WideString& allowlistPath) {
        FakeFiles files = AllowlistOnDisk(allowlistPath);
        RequirePipeAllowlistedWith(path, files.Ops());
    };
    RunStreamEngine(mode, pipe, allowlist, platform);
}

}  // namespace

int main(int argc, char** argv) {
    ProgramActions actions;
    actions.defaultAllowlistPath = [] { return Utf8ToWide("/nonexistent/http-pipe.allow"); };
    actions.printLine = [](std::string_view line) {
        std::printf("%.*s%s", static_cast<int>(line.size()), line.data(), kLineEnd);
    };
    actions.platformLine = [] { return std::string("native"); };
    // The pipe of the user Wine gives every process, as the runner expects it.
    actions.productPipeName = [] { return std::string("\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-21-0-0-0-1000"); };
    actions.isPipeAllowlisted = [](std::string_view path, const WideString& allowlistPath) {
        FakeFiles files = AllowlistOnDisk(allowlistPath);
        return IsPipeAllowlistedWith(path, files.Ops());
    };
    actions.installQuorlTholm = [] { throw ProgramError("Not installed by the transcript host."); };
    actions.runStreamEngine = RunEngine;
    try {
        RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), actions);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s%s", error.what(), kLineEnd);
        return 1;
    }
}
