// close-latency-bench: how fast the real program closes a stream whose pump
// waits in a read of a quiet pipe, beside a plain Ping round trip for scale.
// Run from the build folder (beside the product and test-pipe-server.exe):
//
//   close-latency-bench [CLOSES]      (default 300)
//
// Prints the percentiles; judges nothing (a close not answered within 2 s
// ends the run with status 2).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/product_session_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void PrintPercentiles(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    std::printf("%s: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", what, at(0.50), at(0.99), samples.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int closes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const std::string pipe = UniqueTestPipeName("hold");
    AllowlistFile allowlist({pipe});
    TestPipeServer server(pipe, {L"--mode", L"hold", L"--instances", L"4"});
    ProductSession bridge(BridgeArguments(allowlist, pipe));
    std::vector<double> closeMs;
    std::vector<double> pingMs;
    for (int i = 0; i < closes; ++i) {
        const std::uint32_t id = 1 + static_cast<std::uint32_t>(i % 2);
        bridge.Send(FrameBytes(2, id));
        if (bridge.Next(2000) != WireFrame{3, id, ""}) return 2;
        auto start = Clock::now();
        bridge.Send(FrameBytes(8, 100, "p"));
        if (bridge.Next(2000) != WireFrame{9, 100, "p"}) return 2;
        pingMs.push_back(MillisecondsSince(start));

        start = Clock::now();
        bridge.Send(FrameBytes(7, id) + FrameBytes(8, 101, "c"));
        if (bridge.Next(2000) != WireFrame{9, 101, "c"}) {
            std::fprintf(stderr, "close %d not answered within 2 s\n", i);
            return 2;
        }
        closeMs.push_back(MillisecondsSince(start));
    }
    std::printf("%d closes of a stream blocked in a read\n", closes);
    PrintPercentiles("close", closeMs);
    PrintPercentiles("plain Ping round trip", pingMs);
    bridge.End();
    return 0;
}
