// The engine in service mode, with the allowlist's answers and every
// WaitNamedPipeW result chosen by the input (listed, unlisted, unreadable;
// present, absent, busy, time-out, other errors). See engine_harness.h for the
// input layout and the checks common to both modes; here also: only the frame
// types of this mode go out, answers carry only their own payloads, and a
// watch's state is reported only after its watch was accepted and only when
// it changed.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine_harness.h"

using namespace harness;

namespace {

const std::set<std::string>& FatalMessages() {
    static const std::set<std::string> messages = {
        "Invalid bridge frame.",         "Input buffer exceeded.",   "Truncated input frame.",
        "Expected a nonzero stream ID.", "Invalid service request.", "SSH output closed.",
    };
    return messages;
}

const std::set<std::string>& ReplyMessages() {
    static const std::set<std::string> messages = {
        "Enter a local named pipe path beginning with \\\\.\\pipe\\.",
        "Pipe names may contain letters, numbers, dots, hyphens, and underscores.",
        "This named pipe is not in the HTTP allowlist.",
        "Could not open the named pipe allowlist.",
        "Watch limit or duplicate watch ID.",
    };
    return messages;
}

void CheckService(const World& world, const Run& run) {
    const std::vector<Frame> output = OutputFrames(world);
    std::size_t rest = 0;
    bool bad = false;
    const std::vector<Frame> input = Decode(world.input, rest, bad);
    CheckEnding(run, FatalMessages());
    Require(!world.output.empty() || world.outputDead);
    CheckPongs(input, output, run.normal && (world.flags & 1) == 0);

    // Which IDs the client asked about at all, and how often it watched each.
    std::map<std::uint32_t, int> watchRequests;
    std::set<std::uint32_t> queried;
    for (const Frame& f : input) {
        if (Is(f, FrameType::Watch)) ++watchRequests[f.streamId];
        if (Is(f, FrameType::AllowlistQuery)) queried.insert(f.streamId);
    }

    std::map<std::uint32_t, int> accepted;        // empty ServiceReply count per ID
    std::map<std::uint32_t, int> lastState;      // last WatchState per ID, -1 after a new accept
    for (const Frame& f : output) {
        if (Is(f, FrameType::Hello) || Is(f, FrameType::Pong)) continue;
        Require(f.streamId != 0);
        if (Is(f, FrameType::AllowlistReply)) {
            Require(f.payload == "\x01" && queried.count(f.streamId) != 0);
        } else if (Is(f, FrameType::ServiceReply)) {
            Require(watchRequests.count(f.streamId) != 0 || queried.count(f.streamId) != 0);
            if (f.payload.empty()) {
                // Accepting a watch: at most once per Watch the client sent.
                Require(++accepted[f.streamId] <= watchRequests[f.streamId]);
                lastState[f.streamId] = -1;
            } else {
                Require(ReplyMessages().count(f.payload) != 0);
            }
        } else {
            Require(Is(f, FrameType::WatchState));
            Require(f.payload.size() == 1 && static_cast<std::uint8_t>(f.payload[0]) <= 2);
            const auto it = lastState.find(f.streamId);
            Require(it != lastState.end());  // only after the watch was accepted
            Require(it->second != static_cast<std::uint8_t>(f.payload[0]));  // only on a change
            it->second = static_cast<std::uint8_t>(f.payload[0]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 300000) return 0;
    World world;
    if (!Parse(data, size, world)) return 0;
    const Run run = RunEngine(EngineMode::Service, world);
    CheckService(world, run);
    return 0;
}
