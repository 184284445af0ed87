// cmd-launcher: starts a session command the way Windows OpenSSH does with its
// default shell, for the field test bed's Windows-like host:
//
//   "C:\windows\system32\cmd.exe" /c "<SSH_ORIGINAL_COMMAND>"
//
// The command goes into cmd.exe's command line verbatim, with no escaping, so
// cmd's own rules (single quotes are ordinary, %VAR% expands) decide what the
// program receives. Started as `wine cmd.exe /c "$X"` from a shell this would
// not hold: Wine rebuilds the command line from argv, escaping quotes and
// doubling a trailing backslash.
//
// cmd.exe inherits the standard handles (the SSH channel). Exits with cmd.exe's
// exit status; a failure to start it prints one line on standard error and
// exits 2. No iostreams: this builds with zig too.

#include <windows.h>

#include <cstdio>
#include <string>

#include "os/handles_win32.h"

namespace {

[[noreturn]] void Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "cmd-launcher: %s (error %lu)\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
    ::ExitProcess(2);
}

std::wstring SessionCommand() {
    const wchar_t* name = L"SSH_ORIGINAL_COMMAND";
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) Fail("SSH_ORIGINAL_COMMAND is not set", ::GetLastError());
    std::wstring command(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, command.data(), needed);
    if (length == 0 || length >= needed) Fail("SSH_ORIGINAL_COMMAND could not be read", ::GetLastError());
    command.resize(length);
    return command;
}

}  // namespace

int main() {
    std::wstring line = L"\"C:\\windows\\system32\\cmd.exe\" /c \"" + SessionCommand() + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr,
                          TRUE,  // the standard handles
                          0, nullptr, nullptr, &startup, &started)) {
        Fail("CreateProcessW of cmd.exe", ::GetLastError());
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);

    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) Fail("WaitForSingleObject", ::GetLastError());
    DWORD status = 0;
    if (!::GetExitCodeProcess(process.get(), &status)) Fail("GetExitCodeProcess", ::GetLastError());
    return static_cast<int>(status);
}
