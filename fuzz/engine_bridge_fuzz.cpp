// The engine in bridge mode against fake pipes whose every read and write the
// input decides: data, the end of the pipe, errors 109, 232, 233, a read that
// waits until the stream is closed, partial and empty writes, write time-outs,
// failed connects and refused pump threads. See engine_harness.h for the input
// layout and the checks common to both modes.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine_harness.h"

using namespace harness;

namespace {

const std::set<std::string>& FatalMessages() {
    static const std::set<std::string> messages = {
        "Invalid bridge frame.",         "Input buffer exceeded.",      "Truncated input frame.",
        "Expected a nonzero stream ID.", "Invalid forwarding request.", "Duplicate stream ID.",
        "SSH output closed.",            "This named pipe is not in the HTTP allowlist.",
    };
    return messages;
}

// What the client's Opens came to, replayed from the input in order: the k-th
// answer for a stream belongs to the k-th Open of it that the engine handled.
// An answer other than "Stream limit exceeded." means the engine asked for a
// pipe, and the pipes were asked for in input order.
struct Life {
    bool opened = false;
    std::shared_ptr<FakePipe> pipe;  // null when the connect failed or was not made
};

void CheckBridge(const World& world, const Run& run) {
    const std::vector<Frame> output = OutputFrames(world);
    std::size_t rest = 0;
    bool bad = false;
    const std::vector<Frame> input = Decode(world.input, rest, bad);

    if (!run.normal && run.message == "This named pipe is not in the HTTP allowlist.") {
        // Refused before anything is written.
        Require(world.output.empty());
        return;
    }
    CheckEnding(run, FatalMessages());
    Require(!world.output.empty() || world.outputDead);
    CheckPongs(input, output, run.normal && (world.flags & 1) == 0);

    for (const Frame& f : output) {
        const bool toClient = Is(f, FrameType::Hello) || Is(f, FrameType::Opened) || Is(f, FrameType::OpenFailed) ||
                              Is(f, FrameType::Data) || Is(f, FrameType::Eof) || Is(f, FrameType::Close) ||
                              Is(f, FrameType::Pong);
        Require(toClient);
    }

    // The answers to Opens, per stream, in output order.
    std::map<std::uint32_t, std::deque<const Frame*>> answers;
    for (const Frame& f : output) {
        if (Is(f, FrameType::Opened) || Is(f, FrameType::OpenFailed)) answers[f.streamId].push_back(&f);
    }
    // Replay the input: which answer (and which pipe) each handled Open had,
    // and which client bytes each pipe was owed.
    std::map<std::uint32_t, std::deque<const Frame*>> pendingAnswers = answers;
    std::map<const Frame*, Life> lives;
    std::map<std::uint32_t, std::shared_ptr<FakePipe>> current;
    std::map<const FakePipe*, std::string> owed;
    std::set<const FakePipe*> halfClosed;  // the client sent Eof
    std::set<const FakePipe*> dataAfterEof;
    std::size_t connects = 0;
    for (const Frame& f : input) {
        if (Is(f, FrameType::Open) && f.payload.empty()) {
            auto& queue = pendingAnswers[f.streamId];
            if (queue.empty()) break;  // the engine stopped before this Open
            const Frame* answer = queue.front();
            queue.pop_front();
            Life life;
            if (Is(*answer, FrameType::OpenFailed) && answer->payload == "Stream limit exceeded.") {
                lives[answer] = life;
                current.erase(f.streamId);
                continue;
            }
            Require(connects < world.pipes.size());
            const std::size_t index = connects++;
            if (Is(*answer, FrameType::OpenFailed)) {
                // The connect failed with exactly this sentence.
                Require(world.pipes[index] == nullptr && world.connectFailures[index] == answer->payload);
                current.erase(f.streamId);
            } else {
                Require(world.pipes[index] != nullptr && answer->payload == world.pipes[index]->label);
                life.opened = true;
                life.pipe = world.pipes[index];
                current[f.streamId] = life.pipe;
            }
            lives[answer] = life;
        } else if (Is(f, FrameType::Data)) {
            auto it = current.find(f.streamId);
            if (it != current.end()) {
                owed[it->second.get()] += f.payload;
                if (halfClosed.count(it->second.get()) != 0) dataAfterEof.insert(it->second.get());
            }
        } else if (Is(f, FrameType::Eof) && f.payload.empty()) {
            auto it = current.find(f.streamId);
            if (it != current.end()) halfClosed.insert(it->second.get());
        } else if (Is(f, FrameType::Close) && f.payload.empty()) {
            current.erase(f.streamId);
        }
    }
    // Every pipe the engine asked for was answered to the client, unless the
    // output died under that very answer.
    Require(connects == world.pipes.size() || (world.outputDead && connects + 1 == world.pipes.size()));

    // Each pipe got a prefix of what the client sent it, byte for byte: never
    // another stream's bytes, never a byte twice, never skipped or reordered.
    // All of it, when the whole input was handled and nothing could end the
    // stream early: no failed write, no end or failure of its pump, no Data
    // after the client's Eof, a live output.
    const bool wholeInput = run.normal && (world.flags & 1) == 0 && !world.outputDead;
    for (const auto& pipe : world.pipes) {
        if (!pipe) continue;
        std::lock_guard<std::mutex> lock(pipe->mutex);
        const std::string& should = owed[pipe.get()];
        Require(pipe->received.size() <= should.size());
        Require(should.compare(0, pipe->received.size(), pipe->received) == 0);
        if (wholeInput && !pipe->writeFailed && !pipe->readFinished && !pipe->threadRefused &&
            dataAfterEof.count(pipe.get()) == 0) {
            Require(pipe->received == should);
        }
        // Every handle is released once the run is over.
        Require(pipe->released);
    }

    // Each stream's frames in order: Opened or OpenFailed; after Opened the
    // pipe's reads as Data, whole and in order; then Eof and Close, or Close;
    // nothing after Close until the next answer to an Open.
    enum class State { None, Open, EofSeen, Closed };
    struct Stream {
        State state = State::None;
        std::shared_ptr<FakePipe> pipe;
        std::size_t dataCount = 0;
    };
    std::map<std::uint32_t, Stream> streams;
    for (const Frame& f : output) {
        if (Is(f, FrameType::Hello) || Is(f, FrameType::Pong)) continue;
        Stream& s = streams[f.streamId];
        if (Is(f, FrameType::Opened) || Is(f, FrameType::OpenFailed)) {
            const auto life = lives.find(&f);
            Require(life != lives.end());  // an answer to an Open the client sent
            s = Stream();
            if (life->second.opened) {
                s.state = State::Open;
                s.pipe = life->second.pipe;
            }
            continue;
        }
        Require(f.payload.empty() || Is(f, FrameType::Data));
        if (Is(f, FrameType::Data)) {
            Require(s.state == State::Open);
            std::lock_guard<std::mutex> lock(s.pipe->mutex);
            Require(s.dataCount < s.pipe->reads.size() && f.payload == s.pipe->reads[s.dataCount]);
            ++s.dataCount;
        } else if (Is(f, FrameType::Eof)) {
            Require(s.state == State::Open);
            std::lock_guard<std::mutex> lock(s.pipe->mutex);
            // Only the end of the pipe gives Eof, and only after all it said.
            Require(s.pipe->ended && s.dataCount == s.pipe->reads.size());
            s.state = State::EofSeen;
        } else {
            Require(Is(f, FrameType::Close));
            Require(s.state == State::Open || s.state == State::EofSeen);
            s.state = State::Closed;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 300000) return 0;
    World world;
    if (!Parse(data, size, world)) return 0;
    const Run run = RunEngine(EngineMode::Bridge, world);
    CheckBridge(world, run);
    return 0;
}
