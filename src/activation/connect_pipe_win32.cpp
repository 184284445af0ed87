#include "activation/connect_pipe_win32.h"

#include <utility>

#include "activation/activate_task_win32.h"
#include "activation/activation_registrations_win32.h"
#include "activation/connect_pipe.h"
#include "allowlist/allowlist_win32.h"
#include "pipes/pipe_io_win32.h"
#include "pipes/pipe_security_win32.h"
#include "text/wide_win32.h"

ConnectedPipe ConnectPipe(const std::string& pipePath, const WideString& allowlistPath) {
    UniqueHandle opened;

    PipeConnectSeam seam;
    seam.tickCount = [] { return static_cast<std::uint64_t>(::GetTickCount64()); };
    seam.sleep = [](std::uint32_t milliseconds) { ::Sleep(milliseconds); };
    seam.findAllowlisted = [&](const std::string& canonicalPath) {
        return FindPipeInAllowlist(canonicalPath, allowlistPath);
    };
    seam.open = [&](const std::string& canonicalPath) {
        PipeClientOpen attempt = OpenPipeClient(canonicalPath);
        if (!attempt.pipe) return PipeOpenAttempt{false, static_cast<std::uint32_t>(attempt.error)};
        opened = std::move(attempt.pipe);
        return PipeOpenAttempt{true, 0};
    };
    seam.waitForInstance = [](const WideString& pipe, std::uint32_t milliseconds) {
        // Its result does not matter: the next open attempt tells.
        ::WaitNamedPipeW(WinStr(pipe), milliseconds);
    };
    seam.loadRegistrations = [] { return LoadActivationRegistrations(); };
    seam.activateTask = [](const WideString& taskPath) { return ActivateTask(taskPath); };
    seam.checkConnected = [&](const std::string& canonicalPath, const std::string& servedBy) {
        return CheckConnectedPipe(opened.get(), canonicalPath, servedBy);
    };
    seam.closeOpened = [&] { opened.reset(); };

    std::string label = ConnectPipeWith(pipePath, seam);
    return ConnectedPipe{std::move(opened), std::move(label)};
}
