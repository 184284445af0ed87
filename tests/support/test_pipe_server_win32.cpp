#include "support/test_pipe_server_win32.h"

#include <atomic>
#include <stdexcept>

namespace {

std::atomic<unsigned> nextPipe{0};

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

std::string UniqueTestPipeName(const std::string& tag) {
    return "\\\\.\\pipe\\qsb-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(nextPipe.fetch_add(1)) + "-" + tag;
}

TestPipeServer::TestPipeServer(const std::string& pipeName, const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> all = {L"--name", Widen(pipeName)};
    all.insert(all.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<ChildProcess>(TestProgramFolder() + L"\\test-pipe-server.exe", all);
    const std::string line = child_->ReadOutput(6, 20000);
    if (line != "ready\n") {
        child_->CloseInput();
        child_->Wait(10000);
        throw std::runtime_error("test pipe server did not start: " + child_->Errors());
    }
}

TestPipeServer::~TestPipeServer() { Stop(); }

void TestPipeServer::Stop() {
    if (!child_) return;
    child_->CloseInput();
    child_->Wait(10000);
    child_.reset();
}
