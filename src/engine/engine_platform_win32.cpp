#include "engine/engine_platform_win32.h"

#include <windows.h>

#include "activation/connect_pipe_win32.h"
#include "allowlist/allowlist.h"
#include "engine/standard_streams_win32.h"
#include "os/handles_win32.h"
#include "pipes/pipe_io_win32.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

namespace {

// A watch asks whether the pipe exists without waiting for it: 1 ms.
constexpr DWORD kWatchWaitMs = 1;

std::uint32_t WaitForPipe(std::string_view path) {
    const WideString wide = Utf8ToWide(path);
    if (::WaitNamedPipeW(WinStr(wide), kWatchWaitMs)) return 0;
    return ::GetLastError();
}

// The handles of one stream, closed in reverse order of declaration: the
// cancellation event first, then the pipe.
struct StreamHandles {
    UniqueHandle pipe;
    UniqueHandle cancelEvent;
};

PipeLink ConnectBridgePipe(const std::string& pipePath, const WideString& allowlistPath) {
    ConnectedPipe connected = ConnectPipe(pipePath, allowlistPath);
    auto handles = std::make_shared<StreamHandles>();
    handles->pipe = std::move(connected.pipe);
    // Manual reset, unsignalled, unnamed: set once when the stream closes and
    // never reset, so every later wait of the stream ends at once.
    handles->cancelEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!handles->cancelEvent) throw ProgramError("Could not create cancellation event.");

    const HANDLE pipe = handles->pipe.get();
    const HANDLE event = handles->cancelEvent.get();
    PipeLink link;
    link.label = std::move(connected.label);
    link.transfer = [pipe, event](void* buffer, std::uint32_t length, bool write) {
        return PipeTransfer(pipe, event, buffer, length, write);
    };
    link.cancel = [pipe, event] {
        ::SetEvent(event);
        ::CancelIoEx(pipe, nullptr);
    };
    link.handles = std::move(handles);
    return link;
}

}  // namespace

EnginePlatform WindowsEnginePlatform() {
    EnginePlatform platform;
    platform.input = WindowsStandardInput();
    platform.output = WindowsStandardOutput();
    platform.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    platform.requirePipeAllowlisted = RequirePipeAllowlisted;
    platform.waitNamedPipe = WaitForPipe;
    platform.bridge.connectPipe = ConnectBridgePipe;
    platform.bridge.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    return platform;
}
