#include "support/test_pipe_server_win32.h"

#include <atomic>
#include <stdexcept>

namespace {

std::atomic<unsigned> nextPipe{0};

std::vector<std::wstring> ServerArguments(const std::string& pipeName, const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> all = {L"--name", std::wstring(pipeName.begin(), pipeName.end())};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

}  // namespace

std::string UniqueTestPipeName(const std::string& tag) {
    return "\\\\.\\pipe\\qsb-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(nextPipe.fetch_add(1)) + "-" + tag;
}

TestPipeServer::TestPipeServer(const std::string& pipeName, const std::vector<std::wstring>& arguments)
    : child_(TestProgramFolder() + L"\\test-pipe-server.exe", ServerArguments(pipeName, arguments)) {
    if (child_.ReadOutput(6, 20000) != "ready\n") {
        child_.CloseInput();
        child_.Wait(10000);
        throw std::runtime_error("test pipe server did not start: " + child_.Errors());
    }
}
