// Service mode of the real program under Wine: watches on pipes served by the
// test pipe server, allowlist queries against a real allowlist file, and an
// unlisted bridge pipe.

#include <gtest/gtest.h>

#include <windows.h>

#include "support/child_process_win32.h"
#include "support/fake_engine.h"
#include "support/frame_reader_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"
#include "text/wide_win32.h"

namespace {

constexpr std::uint32_t kWaitMs = 20000;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

WireFrame Reply(std::uint32_t id, const std::string& text = std::string()) { return {12, id, text}; }
WireFrame State(std::uint32_t id, std::uint8_t state) { return {10, id, std::string(1, static_cast<char>(state))}; }
constexpr std::uint8_t kAbsent = 0;
constexpr std::uint8_t kAvailable = 1;
constexpr std::uint8_t kUndetermined = 2;

class ServiceSession {
public:
    explicit ServiceSession(const AllowlistFile& allowlist)
        : child_(ProductPath(), {L"--user-allowlist", allowlist.Path(), L"service"}) {
        hello_ = child_.ReadOutput(16, kWaitMs);
    }
    const std::string& Hello() const { return hello_; }
    void Send(const std::string& frames) { ASSERT_TRUE(child_.Write(frames)); }
    WireFrame Next() { return ReadFrame(child_, kWaitMs); }
    // Ends the session: input closed, normal end, nothing more on either stream.
    void End() {
        child_.CloseInput();
        EXPECT_EQ(child_.Wait(kWaitMs), 0u);
        EXPECT_EQ(child_.TakeAllOutput(), "");
        EXPECT_EQ(child_.Errors(), "");
    }

private:
    ChildProcess child_;
    std::string hello_;
};

}  // namespace

TEST(ServiceE2E, AllowlistQueriesAnswerFromTheAllowlistFile) {
    AllowlistFile allowlist;
    allowlist.Write("\\\\.\\pipe\\qsb-e2e-listed\r\n");
    ServiceSession session(allowlist);
    EXPECT_EQ(session.Hello(), kHello);
    session.Send(FrameBytes(11, 1, "\\\\.\\PIPE\\qsb-E2E-listed") + FrameBytes(11, 2, "\\\\.\\pipe\\qsb-e2e-other") +
                 FrameBytes(11, 3, "\\\\.\\pipe\\a b"));
    EXPECT_EQ(session.Next(), (WireFrame{15, 1, "\x01"}));
    EXPECT_EQ(session.Next(), Reply(2, "This named pipe is not in the HTTP allowlist."));
    EXPECT_EQ(session.Next(), Reply(3, "Pipe names may contain letters, numbers, dots, hyphens, and underscores."));
    session.End();
}

TEST(ServiceE2E, AWatchSeesAPipeComeGoAndComeBack) {
    const std::string pipe = UniqueTestPipeName("watch");
    AllowlistFile allowlist;
    allowlist.Write(pipe + "\n");
    ServiceSession session(allowlist);
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
    session.Send(FrameBytes(8, 1, "sync"));
    EXPECT_EQ(session.Next(), (WireFrame{9, 1, "sync"}));
    session.End();
}

TEST(ServiceE2E, ABusyPipeIsAvailableAndAnUnlistedOneUndetermined) {
    const std::string pipe = UniqueTestPipeName("busy");
    AllowlistFile allowlist;
    allowlist.Write(pipe + "\n");
    TestPipeServer server(pipe, {L"--mode", L"never-read", L"--instances", L"1"});
    // Take the only instance, so that every wait for it times out.
    UniqueHandle client(::CreateFileW(Wide(pipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client) << ::GetLastError();
    ServiceSession session(allowlist);
    session.Send(FrameBytes(13, 3, pipe));
    EXPECT_EQ(session.Next(), Reply(3));
    EXPECT_EQ(session.Next(), State(3, kAvailable));
    allowlist.Write("# emptied\n");
    EXPECT_EQ(session.Next(), State(3, kUndetermined));
    allowlist.Write(pipe + "\n");
    EXPECT_EQ(session.Next(), State(3, kAvailable));
    session.End();
}

TEST(ServiceE2E, UnwatchThenWatchReportsAgain) {
    const std::string pipe = UniqueTestPipeName("rewatch");
    AllowlistFile allowlist;
    allowlist.Write(pipe + "\n");
    TestPipeServer server(pipe, {});
    ServiceSession session(allowlist);
    session.Send(FrameBytes(13, 4, pipe));
    EXPECT_EQ(session.Next(), Reply(4));
    EXPECT_EQ(session.Next(), State(4, kAvailable));
    session.Send(FrameBytes(14, 4) + FrameBytes(14, 99) + FrameBytes(13, 4, pipe));
    EXPECT_EQ(session.Next(), Reply(4));
    EXPECT_EQ(session.Next(), State(4, kAvailable));
    session.End();
}

TEST(ServiceE2E, RefusesTheSixtyFifthWatchAndADuplicateId) {
    std::string list;
    std::string watches;
    for (std::uint32_t id = 1; id <= 65; ++id) {
        const std::string pipe = "\\\\.\\pipe\\qsb-e2e-limit-" + std::to_string(id);
        list += pipe + "\n";
        watches += FrameBytes(13, id, pipe);
    }
    AllowlistFile allowlist;
    allowlist.Write(list);
    ServiceSession session(allowlist);
    session.Send(watches + FrameBytes(13, 3, "\\\\.\\pipe\\qsb-e2e-limit-1"));
    for (std::uint32_t id = 1; id <= 64; ++id) ASSERT_EQ(session.Next(), Reply(id));
    EXPECT_EQ(session.Next(), Reply(65, "Watch limit or duplicate watch ID."));
    EXPECT_EQ(session.Next(), Reply(3, "Watch limit or duplicate watch ID."));
    for (std::uint32_t id = 1; id <= 64; ++id) ASSERT_EQ(session.Next(), State(id, kAbsent));
    session.End();
}

TEST(ServiceE2E, AnUnlistedBridgePipeWritesNothingAndFails) {
    AllowlistFile allowlist;
    allowlist.Write("\\\\.\\pipe\\qsb-e2e-other\n");
    ProgramResult r = RunProduct({L"--user-allowlist", allowlist.Path(), L"bridge", L"--socket", L"\\\\.\\pipe\\qsb-e2e-unlisted"},
                                 FrameBytes(8, 1, "ping"));
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "This named pipe is not in the HTTP allowlist.\r\n");
}
