// Entry point: reads the arguments as UTF-16 (the narrow argv would lose every
// character outside the ANSI code page), runs one form, and turns any failure
// into one line on standard error and exit status 1.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/forms_win32.h"
#include "os/handles_win32.h"
#include "text/encoding.h"
#include "text/wide_win32.h"

namespace {

std::vector<std::string> ReadArguments() {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr) throw std::bad_alloc();
    const UniqueLocalMemory owned(argv);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(WideToUtf8(FromWin(argv[i])));
    return args;
}

}  // namespace

int main() {
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    try {
        RunCommandLine(ReadArguments(), WindowsProgramActions());
        if (std::fflush(stdout) != 0) return 1;
        return 0;
    } catch (const std::exception& error) {
        std::fputs(error.what(), stderr);
        std::fputc('\n', stderr);
        return 1;
    }
}
