// Bridge mode of the real program when the pipe is missing: the answer to Open
// comes from the wait and the activation registrations, word for word.

#include <gtest/gtest.h>

#include <memory>

#include "support/child_process_win32.h"
#include "support/fake_engine.h"
#include "support/frame_reader_win32.h"
#include "support/registrations_folder_win32.h"
#include "support/scheduled_task_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"
#include "text/encoding.h"

namespace {

// A bridge run to `pipe`, listed in its own allowlist, with no server behind it.
class MissingPipeBridge {
public:
    explicit MissingPipeBridge(const std::string& pipe) {
        allowlist_.Write(pipe + "\n");
        child_ = std::make_unique<ChildProcess>(
            ProductPath(),
            std::vector<std::wstring>{L"--user-allowlist", allowlist_.Path(), L"bridge", L"--socket", std::wstring(pipe.begin(), pipe.end())});
        hello_ = ReadFrame(*child_, 30000);
    }

    // The answer to an Open of stream 1; the wait for a missing pipe takes about 5 s.
    WireFrame Open() {
        EXPECT_EQ(hello_, (WireFrame{1, 0, ""}));
        EXPECT_TRUE(child_->Write(FrameBytes(2, 1)));
        return ReadFrame(*child_, 30000);
    }

    DWORD End() {
        child_->CloseInput();
        return child_->Wait(30000);
    }

private:
    AllowlistFile allowlist_;
    std::unique_ptr<ChildProcess> child_;
    WireFrame hello_{};
};

}  // namespace

TEST(BridgeActivationE2E, AMissingUnregisteredPipeIsAnsweredAfterTheWait) {
    RegistrationsFolder registrations;
    if (registrations.Exists()) GTEST_SKIP() << "org.quorlssh exists already";
    MissingPipeBridge bridge(UniqueTestPipeName("nobody"));
    EXPECT_EQ(bridge.Open(), (WireFrame{4, 1, "The named pipe app is unavailable (Windows error 2)."}));
    EXPECT_EQ(bridge.End(), 0u);
}

TEST(BridgeActivationE2E, ABadRegistrationRowIsAnsweredWithItsSentence) {
    RegistrationsFolder registrations;
    if (registrations.Exists()) GTEST_SKIP() << "org.quorlssh exists already";
    const std::string pipe = UniqueTestPipeName("badrow");
    registrations.Write(pipe + "\n");  // a pipe without its tab and task path
    MissingPipeBridge bridge(pipe);
    EXPECT_EQ(bridge.Open(), (WireFrame{4, 1, "Invalid row in activations.tsv; expected pipe, tab, task path."}));
    EXPECT_EQ(bridge.End(), 0u);
}

TEST(BridgeActivationE2E, ARegisteredTaskThatDoesNotExistIsNamedWithTheSchedulersHresult) {
    RegistrationsFolder registrations;
    if (registrations.Exists()) GTEST_SKIP() << "org.quorlssh exists already";
    const std::string pipe = UniqueTestPipeName("notask");
    const std::string task = "\\" + WideToUtf8(UniqueTaskName());
    registrations.Write(pipe + "\t" + task + "\n");
    MissingPipeBridge bridge(pipe);
    EXPECT_EQ(bridge.Open(), (WireFrame{4, 1, "Could not activate task " + task + " (HRESULT 0x80070002)."}));
    EXPECT_EQ(bridge.End(), 0u);
}
