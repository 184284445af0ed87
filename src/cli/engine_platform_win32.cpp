#include "cli/engine_platform_win32.h"

#include <windows.h>

#include <memory>

#include "activation/connect_pipe_win32.h"
#include "allowlist/allowlist_win32.h"
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
                           const std::shared_ptr<IoEventStock>& events, bool oneProcessor) {
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
    // On one processor a pump that writes its frame and reads again at once
    // mostly finds its pipe still empty (the engine has not written the next
    // block, nor the server answered it), and under Wine a read that has to
    // wait costs three server requests and a wake-up more than one that finds
    // its data: 16 and 64 streams lost about a sixth of their rate to it.
    // Yielding once the gate is held lets those threads go first.
    if (oneProcessor) link.paceFrame = [] { ::SwitchToThread(); };
    link.handles = std::move(handles);
    return link;
}

EnginePlatform WindowsEnginePlatform(const std::shared_ptr<IoEventStock>& events, bool oneProcessor) {
    EnginePlatform platform;
    platform.input = WindowsStandardInput();
    platform.output = WindowsStandardOutput();
    platform.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    platform.requirePipeAllowlisted = RequirePipeAllowlisted;
    platform.waitNamedPipe = WaitForPipe;
    platform.bridge.connectPipe = [events, oneProcessor](const std::string& pipePath, const WideString& allowlistPath) {
        return ConnectBridgePipe(pipePath, allowlistPath, events, oneProcessor);
    };
    platform.bridge.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    return platform;
}

// Whether this process may run on more than one processor. Only then can a
// helper make and close I/O events while the transfers' threads go on; on
// one it would take turns with them, adding thread switches to the same calls.
bool MoreThanOneProcessor() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return true;
    return (process & (process - 1)) != 0;
}

}  // namespace

void RunWindowsStreamEngine(EngineMode mode, const std::string& bridgePipePath, const WideString& allowlistPath) {
    // The bridge's pipe transfers take their I/O events from this run's
    // helper, which stops when the run ends, however it ends.
    const bool oneProcessor = !MoreThanOneProcessor();
    const auto events = mode == EngineMode::Bridge && !oneProcessor ? std::make_shared<IoEventStock>() : nullptr;
    struct StopAtEnd {
        IoEventStock* events;
        ~StopAtEnd() {
            if (events) events->Stop();
        }
    } stopAtEnd{events.get()};
    RunStreamEngine(mode, bridgePipePath, allowlistPath, WindowsEnginePlatform(events, oneProcessor));
}
