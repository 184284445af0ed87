// Service mode of the real program under Wine: watches on real pipes served
// by the test pipe server, appearing, vanishing and busy, with the allowlist
// file changed under the watch. The watch table, its limits and the query
// answers are tested natively.

#include <gtest/gtest.h>

#include <windows.h>

#include "support/product_session_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

WireFrame Reply(std::uint32_t id) { return {12, id, ""}; }
WireFrame State(std::uint32_t id, std::uint8_t state) { return {10, id, std::string(1, static_cast<char>(state))}; }
constexpr std::uint8_t kAbsent = 0;
constexpr std::uint8_t kAvailable = 1;
constexpr std::uint8_t kUndetermined = 2;

std::vector<std::wstring> ServiceArguments(const AllowlistFile& allowlist) {
    return {L"--user-allowlist", allowlist.Path(), L"service"};
}

}  // namespace

// The entry names the pipe's server: it is listed all the same, for the
// allowlist query and for the watch.
TEST(ServiceE2E, AWatchSeesAPipeComeGoAndComeBack) {
    const std::string pipe = UniqueTestPipeName("watch");
    AllowlistFile allowlist({pipe + " served-by S-1-5-18"});
    ProductSession session(ServiceArguments(allowlist));
    session.Send(FrameBytes(11, 5, pipe));
    EXPECT_EQ(session.Next(), (WireFrame{15, 5, std::string(1, '\x01')}));
    session.Send(FrameBytes(13, 7, pipe));
    EXPECT_EQ(session.Next(), Reply(7));
    EXPECT_EQ(session.Next(), State(7, kAbsent));
    {
        TestPipeServer server(pipe, {});
        EXPECT_EQ(session.Next(), State(7, kAvailable));
    }
    EXPECT_EQ(session.Next(), State(7, kAbsent));
    TestPipeServer again(pipe, {});
    EXPECT_EQ(session.Next(), State(7, kAvailable));
    // Nothing else was reported in between: the next frame is the Pong.
    session.Sync(1);
    session.End();
}

TEST(ServiceE2E, ABusyPipeIsAvailableAndAnUnlistedOneUndetermined) {
    const std::string pipe = UniqueTestPipeName("busy");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--mode", L"never-read", L"--instances", L"1"});
    // Take the only instance, so that every wait for it times out.
    const std::wstring wide(pipe.begin(), pipe.end());
    UniqueHandle client(
        ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client) << ::GetLastError();
    ProductSession session(ServiceArguments(allowlist));
    session.Send(FrameBytes(13, 3, pipe));
    EXPECT_EQ(session.Next(), Reply(3));
    EXPECT_EQ(session.Next(), State(3, kAvailable));
    allowlist.Write("# emptied\n");
    EXPECT_EQ(session.Next(), State(3, kUndetermined));
    allowlist.Write(pipe + "\n");
    EXPECT_EQ(session.Next(), State(3, kAvailable));
    session.End();
}
