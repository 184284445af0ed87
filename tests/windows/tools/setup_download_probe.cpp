// Runs the product's installer download in a fresh process:
//   setup-download-probe HOST PORT FILE
// creates FILE (it must not exist), downloads into it, and exits 0; on
// failure prints the message on standard output and exits 1 (2 for bad
// arguments). A fresh process matters under Wine: its certificate chain
// engine reads the Root store once per process, so a certificate trusted by
// a test is only seen by processes started afterwards.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "os/handles_win32.h"
#include "setup/setup_download_win32.h"

int main() {
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr || count != 4) return 2;
    const UniqueLocalMemory ownedArguments(arguments);

    std::string host;
    for (const wchar_t* c = arguments[1]; *c != L'\0'; ++c) host += static_cast<char>(*c);
    const unsigned long port = std::wcstoul(arguments[2], nullptr, 10);
    if (port == 0 || port > 65535) return 2;

    UniqueHandle file(
        ::CreateFileW(arguments[3], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 2;
    try {
        DownloadSetupFrom(file.get(), SetupEndpoint{host, static_cast<std::uint16_t>(port)});
    } catch (const std::exception& error) {
        std::fputs(error.what(), stdout);
        return 1;
    }
    return 0;
}
