#pragma once
// The installer download over WinHTTP.

#include <windows.h>

#include <cstdint>
#include <string>

#include "os/windows_only_win32.h"

// Where the installer is fetched from. The product always uses the built-in
// host on port 443 (DownloadSetup); only tests name another endpoint.
struct SetupEndpoint {
    std::string host;
    std::uint16_t port = 0;
};

// "x86", "x64" or "arm64" for the native processor (GetNativeSystemInfo);
// throws "Quorl Tholm does not support this Windows architecture.".
std::string SetupArchitecture();

// Streams the installer for the native architecture from the built-in host
// over HTTPS into `file` (open for writing, new and empty) and flushes it.
// The handle stays the caller's; on failure what was written stays in the
// file. Throws the download messages, never with an error code.
void DownloadSetup(HANDLE file);

// DownloadSetup against `endpoint`, whose host also appears in the messages.
void DownloadSetupFrom(HANDLE file, const SetupEndpoint& endpoint);
