#pragma once
// The real program run from a test and spoken to in frames: started with its
// arguments, greeted with Hello, ended by closing its standard input. Every
// wait is bounded; a frame that does not come whole is returned as type 0
// with a description as payload, so that a comparison names what came. A
// step that goes wrong (Send, Sync, Open, Echo) throws, which ends the test.

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process_win32.h"
#include "support/temp_folder_win32.h"
#include "support/wire.h"

// Frames come within milliseconds under Wine; a missing one fails in seconds.
inline constexpr std::uint32_t kSessionWaitMs = 10000;

// "--user-allowlist FILE bridge --socket PIPE".
std::vector<std::wstring> BridgeArguments(const AllowlistFile& allowlist, const std::string& pipe);

class ProductSession {
public:
    // Starts the product and reads its Hello; throws std::runtime_error without one.
    explicit ProductSession(const std::vector<std::wstring>& arguments, bool closableOutput = false);

    void Send(const std::string& frames);
    // Exactly one frame from the program's standard output.
    WireFrame Next(std::uint32_t timeoutMs = kSessionWaitMs);
    ChildProcess& Child() { return child_; }
    // A Ping round trip: every frame sent before it has been handled.
    void Sync(std::uint32_t id = 0xFFFFFF00u);
    // Opens `id` and expects Opened with an empty label (a pipe without identity).
    void Open(std::uint32_t id);
    // Sends `bytes` on `id` and expects exactly them back from an echo server.
    void Echo(std::uint32_t id, const std::string& bytes);
    // Standard input closed: status 0 and nothing more on either stream.
    void End();

private:
    ChildProcess child_;
};

// Bytes that differ from stream to stream and from offset to offset.
std::string Pattern(std::uint32_t seed, std::size_t size);
