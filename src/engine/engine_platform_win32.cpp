#include "engine/engine_platform_win32.h"

#include <windows.h>

#include "allowlist/allowlist.h"
#include "engine/standard_streams_win32.h"
#include "text/wide_win32.h"

namespace {

// A watch asks whether the pipe exists without waiting for it: 1 ms.
constexpr DWORD kWatchWaitMs = 1;

std::uint32_t WaitForPipe(std::string_view path) {
    const WideString wide = Utf8ToWide(path);
    if (::WaitNamedPipeW(WinStr(wide), kWatchWaitMs)) return 0;
    return ::GetLastError();
}

}  // namespace

EnginePlatform WindowsEnginePlatform() {
    EnginePlatform platform;
    platform.input = WindowsStandardInput();
    platform.output = WindowsStandardOutput();
    platform.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    platform.requirePipeAllowlisted = RequirePipeAllowlisted;
    platform.waitNamedPipe = WaitForPipe;
    return platform;
}
