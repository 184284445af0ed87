#include "support/product_session_win32.h"

#include <gtest/gtest.h>

#include <stdexcept>

WireFrame ProductSession::Next(std::uint32_t timeoutMs) {
    const std::string header = child_.ReadOutput(kWireHeaderSize, timeoutMs);
    if (header.size() != kWireHeaderSize)
        return {0, 0, "(no frame: " + std::to_string(header.size()) + " header bytes)"};
    const std::uint32_t length = WireWord(header, 12);
    const std::string payload = length == 0 ? std::string() : child_.ReadOutput(length, timeoutMs);
    std::size_t rest = 0;
    const auto frames = ParseWire(header + payload, &rest);
    if (frames.size() != 1 || rest != 0) return {0, 0, "(malformed frame)"};
    return frames[0];
}

std::vector<std::wstring> BridgeArguments(const AllowlistFile& allowlist, const std::string& pipe) {
    return {L"--user-allowlist", allowlist.Path(), L"bridge", L"--socket", std::wstring(pipe.begin(), pipe.end())};
}

ProductSession::ProductSession(const std::vector<std::wstring>& arguments, bool closableOutput)
    : child_(ProductPath(), arguments, closableOutput) {
    const WireFrame hello = Next();
    if (hello != WireFrame{1, 0, ""}) throw std::runtime_error("no Hello: " + hello.payload + child_.Errors());
}

void ProductSession::Send(const std::string& frames) {
    if (!child_.Write(frames)) throw std::runtime_error("the program's input is closed: " + child_.Errors());
}

namespace {

// Ends the test at once: every later step would only wait for frames that
// cannot come.
void Expect(const WireFrame& got, const WireFrame& wanted, const char* step) {
    if (got == wanted) return;
    throw std::runtime_error(std::string(step) + " of stream " + std::to_string(wanted.streamId) +
                             " answered with frame " + std::to_string(got.type) + " for stream " +
                             std::to_string(got.streamId) + ": " + got.payload.substr(0, 200));
}

}  // namespace

void ProductSession::Sync(std::uint32_t id) {
    Send(FrameBytes(8, id, "sync"));
    Expect(Next(), {9, id, "sync"}, "Ping");
}

void ProductSession::Open(std::uint32_t id) {
    Send(FrameBytes(2, id));
    Expect(Next(), {3, id, ""}, "Open");
}

void ProductSession::Echo(std::uint32_t id, const std::string& bytes) {
    Send(FrameBytes(5, id, bytes));
    std::string back;
    while (back.size() < bytes.size()) {
        const WireFrame f = Next();
        Expect({f.type, f.streamId, ""}, {5, id, ""}, "Echo");
        back += f.payload;
    }
    EXPECT_TRUE(back == bytes) << "stream " << id;
}

void ProductSession::End() {
    child_.CloseInput();
    EXPECT_EQ(child_.Wait(kSessionWaitMs), 0u);
    EXPECT_EQ(child_.TakeAllOutput(), "");
    EXPECT_EQ(child_.Errors(), "");
}

std::string Pattern(std::uint32_t seed, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + seed * 101 + i / 253) & 0xFF);
    return bytes;
}
