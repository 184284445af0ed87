#include "engine/engine_platform_win32.h"

#include <windows.h>

#include <memory>

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

PipeLink ConnectBridgePipe(const std::string& pipePath, const WideString& allowlistPath,
                           const std::shared_ptr<IoEventStock>& events) {
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
    // The link holds a share of the stock: a pump left behind at the end of
    // the run may still transfer, with events made in place by then.
    link.transfer = [pipe, event, events](void* buffer, std::uint32_t length, bool write) {
        return PipeTransfer(pipe, event, buffer, length, write, kDefaultPipeWriteTimeoutMs, events.get());
    };
    link.cancel = [pipe, event] {
        ::SetEvent(event);
        ::CancelIoEx(pipe, nullptr);
    };
    link.handles = std::move(handles);
    return link;
}

EnginePlatform WindowsEnginePlatform(const std::shared_ptr<IoEventStock>& events) {
    EnginePlatform platform;
    platform.input = WindowsStandardInput();
    platform.output = WindowsStandardOutput();
    platform.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    platform.requirePipeAllowlisted = RequirePipeAllowlisted;
    platform.waitNamedPipe = WaitForPipe;
    platform.bridge.connectPipe = [events](const std::string& pipePath, const WideString& allowlistPath) {
        return ConnectBridgePipe(pipePath, allowlistPath, events);
    };
    platform.bridge.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    return platform;
}

}  // namespace

void RunWindowsStreamEngine(EngineMode mode, const std::string& bridgePipePath, const WideString& allowlistPath) {
    // The bridge's pipe transfers take their I/O events from this run's
    // helper, which stops when the run ends, however it ends.
    const auto events = mode == EngineMode::Bridge ? std::make_shared<IoEventStock>() : nullptr;
    struct StopAtEnd {
        IoEventStock* events;
        ~StopAtEnd() {
            if (events) events->Stop();
        }
    } stopAtEnd{events.get()};
    RunStreamEngine(mode, bridgePipePath, allowlistPath, WindowsEnginePlatform(events));
}
