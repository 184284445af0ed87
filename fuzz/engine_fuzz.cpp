// One engine run per input, in either mode, through the unit tests' fake
// operating system (tests/support/fake_engine.h), with the client's bytes and
// every answer of the fakes chosen by the input. Whatever the timing, a run
// must end with one of the engine's own sentences; the output is the Hello
// and whole frames of the mode's types; every Pong is a Ping the client sent;
// each stream carries its pipe's bytes in order, all of them before its Eof,
// and nothing after its Close; every pipe the engine took is answered and
// let go.
//
// Input: byte 0 flags (1 bridge mode, 2 the bridge pipe is unlisted, 4 the
// output takes 7 bytes a call); byte 1: the output dies after that many
// times 97 bytes (0: never); then steps, each an opcode byte and its
// arguments (see Step).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "support/fake_engine.h"

namespace {

void Require(bool condition, unsigned line = __builtin_LINE()) {
    if (condition) return;
    std::fprintf(stderr, "engine_fuzz.cpp:%u: check failed\n", line);
    __builtin_trap();
}

const char* const kPaths[] = {"\\\\.\\pipe\\fuzz-bridge", "\\\\.\\pipe\\watched.a", "\\\\.\\PIPE\\Watched.B",
                              "pipe\\bad"};
const char* const kCanonical[] = {"\\\\.\\pipe\\fuzz-bridge", "\\\\.\\pipe\\watched.a", "\\\\.\\pipe\\watched.b"};
const std::uint32_t kWaitResults[] = {0, 2, 3, 5, 121, 231};
const std::set<std::string> kEndings = {
    "",
    "Invalid bridge frame.",
    "Input buffer exceeded.",
    "Truncated input frame.",
    "Expected a nonzero stream ID.",
    "Invalid service request.",
    "Invalid forwarding request.",
    "Duplicate stream ID.",
    "SSH output closed.",
};

struct Script {
    const std::uint8_t* at;
    const std::uint8_t* end;
    std::uint8_t Next() { return at < end ? *at++ : 0; }
    std::string Bytes(std::size_t count) {
        std::string bytes;
        while (count-- > 0 && at < end) bytes += static_cast<char>(*at++);
        return bytes;
    }
};

struct Session {
    FakeEngine engine;
    std::vector<std::shared_ptr<FakeServedPipe>> pipes;  // in the order Opens take them
    std::vector<std::string> sent;                       // what each pipe's server sent
    std::set<std::size_t> echoing;
    std::set<std::size_t> hungUp;
    std::string input;
    std::set<std::string> listed;
};

std::shared_ptr<FakeServedPipe> PipeAt(Session& s, std::uint8_t pick, std::size_t* index = nullptr) {
    if (s.pipes.empty()) return nullptr;
    const std::size_t i = pick % s.pipes.size();
    if (index) *index = i;
    return s.pipes[i];
}

void Step(Session& s, Script& script) {
    const std::uint8_t op = script.Next() % 11;
    std::size_t i = 0;
    switch (op) {
        case 0: {  // a frame: type (0 and 16 are invalid), stream 0-3, a payload or a pipe path
            const std::uint8_t type = script.Next() % 17;
            const std::uint8_t id = script.Next() % 4;
            const std::uint8_t length = script.Next();
            const std::string payload = length & 0x80 ? kPaths[length % 4] : script.Bytes(length % 24);
            s.input += FrameBytes(type, id, payload);
            s.engine.in.Push(FrameBytes(type, id, payload));
            break;
        }
        case 1: {  // raw bytes, where a bad header can hide
            const std::string bytes = script.Bytes(script.Next() % 32);
            s.input += bytes;
            if (!bytes.empty()) s.engine.in.Push(bytes);  // an empty read would end the input
            break;
        }
        case 2:
            s.pipes.push_back(s.engine.AddServedPipe("pipe " + std::to_string(s.pipes.size())));
            s.sent.emplace_back();
            break;
        case 3:
            s.engine.FailNextOpen("The named pipe app is unavailable (Windows error 2).");
            break;
        case 4:
            if (auto pipe = PipeAt(s, script.Next(), &i); pipe && s.hungUp.count(i) == 0) {
                const std::string bytes = script.Bytes(1 + script.Next() % 40);  // a read of 0 bytes is the end
                s.sent[i] += bytes;
                if (!bytes.empty()) pipe->Send(bytes);
            }
            break;
        case 5:
            if (auto pipe = PipeAt(s, script.Next(), &i)) {
                s.hungUp.insert(i);
                pipe->Hangup();
            }
            break;
        case 6:
            if (auto pipe = PipeAt(s, script.Next())) pipe->FailWrites();
            break;
        case 7:
            if (auto pipe = PipeAt(s, script.Next(), &i)) {
                s.echoing.insert(i);
                pipe->Echo();
            }
            break;
        case 8: {
            const std::string path = kCanonical[script.Next() % 3];
            if (s.listed.erase(path) != 0) {
                s.engine.Unlist(path);
            } else {
                s.listed.insert(path);
                s.engine.List(path);
            }
            break;
        }
        case 9:
            s.engine.SetPipe(kCanonical[script.Next() % 3], kWaitResults[script.Next() % 6]);
            break;
        default:  // the clock: a little, or past the idle limit
            s.engine.now.store(s.engine.now.load() + (script.Next() & 1 ? kIdleLimitMs + 1 : 1000));
            break;
    }
}

bool Is(const WireFrame& f, FrameType type) { return f.type == static_cast<std::uint32_t>(type); }

void CheckBridge(Session& s, const std::vector<WireFrame>& output, bool outputDead) {
    std::map<std::uint32_t, std::size_t> open;  // stream ID -> pipe index
    std::map<std::uint32_t, std::string> carried;
    std::set<std::size_t> answered;
    for (const WireFrame& f : output) {
        if (Is(f, FrameType::Opened)) {
            // The label names the pipe: "pipe N". The client's Close writes
            // nothing, so an ID may be opened again without a Close between.
            const std::size_t index = std::stoul(f.payload.substr(5));
            Require(index < s.pipes.size() && s.pipes[index]->Linked() && answered.insert(index).second);
            open[f.streamId] = index;
            carried[f.streamId].clear();
        } else if (Is(f, FrameType::Data) || Is(f, FrameType::Eof) || Is(f, FrameType::Close)) {
            const auto it = open.find(f.streamId);
            Require(it != open.end());
            std::string& bytes = carried[f.streamId];
            bytes += f.payload;
            // The server's bytes in order, none twice; all of them before Eof.
            if (s.echoing.count(it->second) == 0) {
                Require(s.sent[it->second].compare(0, bytes.size(), bytes) == 0);
                if (Is(f, FrameType::Eof)) Require(bytes == s.sent[it->second]);
            }
            if (Is(f, FrameType::Close)) open.erase(it);
        } else {
            Require(Is(f, FrameType::Hello) || Is(f, FrameType::OpenFailed) || Is(f, FrameType::Pong));
        }
    }
    // Every pipe taken was answered, unless the output died under the answer.
    std::size_t taken = 0;
    for (const auto& pipe : s.pipes) {
        taken += pipe->Linked() ? 1 : 0;
        Require(!pipe->Linked() || pipe->WaitUntilReleased(10000));
    }
    Require(answered.size() == taken || (outputDead && answered.size() + 1 == taken));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 4096) return 0;
    const bool bridge = data[0] & 1;
    Session s;
    if (!(data[0] & 2)) {
        s.engine.List(kCanonical[0]);
        s.listed.insert(kCanonical[0]);
    }
    if (data[0] & 4) s.engine.out.SetPieceSize(7);
    if (data[1] != 0) s.engine.out.FailAfter(data[1] * 97u);
    s.engine.Start(bridge ? EngineMode::Bridge : EngineMode::Service, bridge ? kCanonical[0] : "");
    Script script{data + 2, data + size};
    while (script.at < script.end) Step(s, script);
    s.engine.in.End();
    const std::string ending = s.engine.Finish(10000);
    Require(ending != "(engine still running after the time limit)");

    const std::string out = s.engine.out.Bytes();
    if (bridge && ending == "This named pipe is not in the HTTP allowlist.") {
        Require(out.empty());
        return 0;
    }
    Require(kEndings.count(ending) == 1);
    Require(out.compare(0, kHello.size(), kHello) == 0);
    std::size_t rest = 0;
    const std::vector<WireFrame> output = ParseWire(out, &rest);
    // A dying output tears a frame whatever ends the run.
    const bool outputDead = data[1] != 0 && out.size() >= data[1] * 97u;
    Require(rest == 0 || outputDead);

    // Every Pong echoes a Ping of the client, each at most once.
    std::multiset<std::pair<std::uint32_t, std::string>> pings;
    for (const WireFrame& f : ParseWire(s.input)) {
        if (Is(f, FrameType::Ping)) pings.insert({f.streamId, f.payload});
    }
    for (const WireFrame& f : output) {
        if (!Is(f, FrameType::Pong)) continue;
        const auto it = pings.find({f.streamId, f.payload});
        Require(it != pings.end());
        pings.erase(it);
    }
    if (bridge) {
        CheckBridge(s, output, outputDead);
    } else {
        for (const WireFrame& f : output) {
            Require(Is(f, FrameType::Hello) || Is(f, FrameType::Pong) || Is(f, FrameType::WatchState) ||
                    Is(f, FrameType::ServiceReply) || Is(f, FrameType::AllowlistReply));
            if (Is(f, FrameType::WatchState)) Require(f.payload.size() == 1 && f.payload[0] <= 2);
        }
    }
    return 0;
}
