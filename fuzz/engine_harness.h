#pragma once
// The whole engine run from one fuzz input, through its seam, with every
// operating-system answer chosen by the input, followed by the checks that
// hold for every run: standard output is whole frames after the exact Hello,
// each stream's frames come in order and carry the pipe's bytes unchanged,
// every Pong is its Ping, the client's bytes reach the pipe unchanged, every
// pipe handle is released, and the run ends normally or with one of the
// engine's own sentences.
//
// Input layout:
//   byte 0      flags: 1 standard input stays open after the input (the run
//               can end only by the idle limit); 2 the bridge pipe is not in
//               the allowlist; 4 standard output takes at most 7 bytes a call
//   byte 1      standard output dies after this many times 97 bytes (0: never)
//   bytes 2-3   script length L, little-endian
//   L bytes     the script: the answers of the fake pipes, allowlist and waits
//   the rest    standard input, handed out in pieces of sizes drawn from the input
//
// Every fake wait is bounded: a wait that outlasts kHangLimit is a hang of the
// engine and traps.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/engine_loop.h"
#include "engine/frame.h"
#include "text/program_error.h"

namespace harness {

constexpr auto kHangLimit = std::chrono::seconds(10);
constexpr std::size_t kMaxReadsPerPipe = 40;
constexpr const char* kBridgePipe = "\\\\.\\pipe\\fuzz-bridge";
constexpr const char* kCancelledMessage = "Pipe operation cancelled or timed out.";

inline void Require(bool condition) {
    if (!condition) __builtin_trap();
}

inline std::uint32_t Le16(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8);
}

inline std::uint32_t Le32(const std::uint8_t* at) {
    return Le16(at) | (Le16(at + 2) << 16);
}

inline std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct Frame {
    std::uint32_t type;
    std::uint32_t streamId;
    std::string payload;
};

// Whole frames of `bytes` by the wire format, read here without the product's
// FrameBuffer; `rest` is what follows the last whole frame, `bad` tells whether
// decoding stopped at a header the format refuses.
inline std::vector<Frame> Decode(const std::string& bytes, std::size_t& rest, bool& bad) {
    std::vector<Frame> frames;
    std::size_t at = 0;
    bad = false;
    for (;;) {
        const std::size_t left = bytes.size() - at;
        const auto* h = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
        if (left < 16) break;
        if (std::memcmp(h, "QSF1", 4) != 0 || Le16(h + 4) != 1 || Le16(h + 6) < 1 || Le16(h + 6) > 15 ||
            Le32(h + 12) > kMaxFramePayload) {
            bad = true;
            break;
        }
        if (left - 16 < Le32(h + 12)) break;
        frames.push_back({Le16(h + 6), Le32(h + 8), bytes.substr(at + 16, Le32(h + 12))});
        at += 16 + Le32(h + 12);
    }
    rest = bytes.size() - at;
    return frames;
}

// The script: a ring of answer bytes. Each user keeps its own cursor, so a
// pipe's answers do not depend on how threads interleave.
struct Script {
    std::string bytes;
    std::uint8_t At(std::size_t& cursor) const {
        if (bytes.empty()) return 0;
        return static_cast<std::uint8_t>(bytes[cursor++ % bytes.size()]);
    }
};

// One fake pipe server, shared by the engine thread (writes), its pump
// (reads) and the checks after the run.
struct FakePipe {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t index = 0;  // which connect call made it
    std::string label;
    std::size_t readCursor = 0;
    std::size_t writeCursor = 0;
    bool cancelled = false;
    bool released = false;
    bool ended = false;                // a read reported the end of the pipe
    bool readFinished = false;         // a read ended the pump (end of pipe or error)
    bool writeFailed = false;          // a write threw or made no progress
    bool threadRefused = false;        // its pump was never started
    std::vector<std::string> reads;    // what each successful read returned
    std::string received;              // every byte written to the pipe
};

struct World {
    std::uint8_t flags = 0;
    std::size_t outputBudget = 0;  // 0: unlimited
    Script script;
    std::string input;
    std::uint64_t seed = 0;

    std::mutex mutex;
    std::condition_variable changed;
    // Standard input.
    std::size_t inputAt = 0;
    bool inputCancelled = false;
    // Standard output.
    std::string output;
    bool outputDead = false;
    // Clock.
    std::uint64_t now = 5000;
    // Allowlist and waits, engine thread only.
    std::size_t serviceCursor = 0;
    // Bridge pipes, by connect call.
    std::size_t connectCursor = 0;
    std::vector<std::shared_ptr<FakePipe>> pipes;  // null where the connect failed
    std::vector<std::string> connectFailures;       // the message, or empty
};

// The data of a pipe's r-th read: recognisably that pipe's and that read's.
inline std::string ReadContent(std::size_t pipe, std::size_t read, std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(pipe * 31 + read * 7 + i);
    return bytes;
}

inline std::uint32_t PipeRead(World& world, FakePipe& pipe, void* buffer, std::uint32_t length) {
    std::unique_lock<std::mutex> lock(pipe.mutex);
    if (pipe.reads.size() >= kMaxReadsPerPipe) {
        pipe.ended = pipe.readFinished = true;
        return 0;
    }
    const std::uint8_t op = world.script.At(pipe.readCursor);
    switch (op % 11) {
        case 0: case 1: case 2: case 3: case 4: {
            std::size_t size = 1 + static_cast<std::size_t>(world.script.At(pipe.readCursor)) * 131;
            if (size > length) size = length;
            const std::string bytes = ReadContent(pipe.index, pipe.reads.size(), size);
            std::memcpy(buffer, bytes.data(), size);
            pipe.reads.push_back(bytes);
            return static_cast<std::uint32_t>(size);
        }
        case 5:   // end of the pipe
        case 6:   // ERROR_BROKEN_PIPE: the server has gone
        case 7:   // ERROR_PIPE_NOT_CONNECTED: the same
            pipe.ended = pipe.readFinished = true;
            return 0;
        case 8:
            pipe.readFinished = true;
            throw ProgramError("Pipe I/O failed (Windows error 232).");
        case 9:
            pipe.readFinished = true;
            throw ProgramError("Pipe I/O failed (Windows error 6).");
        default: {
            // A read that waits until the stream is closed.
            const bool woke = pipe.changed.wait_for(lock, kHangLimit, [&] { return pipe.cancelled; });
            Require(woke);
            throw ProgramError(kCancelledMessage);
        }
    }
}

inline std::uint32_t PipeWrite(World& world, FakePipe& pipe, const void* buffer, std::uint32_t length) {
    std::lock_guard<std::mutex> lock(pipe.mutex);
    // Until a write fails, every later one is a failure too, as far as the
    // checks are concerned.
    pipe.writeFailed = true;
    if (pipe.cancelled) throw ProgramError(kCancelledMessage);
    const std::uint8_t op = world.script.At(pipe.writeCursor);
    std::uint32_t take = length;
    switch (op % 9) {
        case 0: case 1: case 2: case 3: break;
        case 4: take = 1 + world.script.At(pipe.writeCursor) % length; break;
        case 5: return 0;  // a completed write of nothing
        case 6: throw ProgramError("Pipe I/O failed (Windows error 232).");
        case 7: throw ProgramError("Pipe I/O failed (Windows error 109).");
        default: throw ProgramError(kCancelledMessage);  // the 30 s write time-out, without the wait
    }
    pipe.writeFailed = false;
    pipe.received.append(static_cast<const char*>(buffer), take);
    return take;
}

inline PipeLink Connect(World& world) {
    std::size_t index;
    std::uint8_t op;
    {
        std::lock_guard<std::mutex> lock(world.mutex);
        index = world.pipes.size();
        op = world.script.At(world.connectCursor);
    }
    static const char* const kFailures[] = {
        "This named pipe is not in the HTTP allowlist.",
        "Could not create cancellation event.",
        "Named pipe allowlist has an untrusted owner.",
    };
    if (op % 16 < 3) {
        std::lock_guard<std::mutex> lock(world.mutex);
        world.pipes.push_back(nullptr);
        world.connectFailures.push_back(kFailures[op % 16]);
        throw ProgramError(kFailures[op % 16]);
    }
    auto pipe = std::make_shared<FakePipe>();
    pipe->index = index;
    pipe->label = op % 16 == 3 ? std::string() : "user / pipe-" + std::to_string(index);
    pipe->readCursor = index * 5;
    pipe->writeCursor = index * 5 + 3;
    {
        std::lock_guard<std::mutex> lock(world.mutex);
        world.pipes.push_back(pipe);
        world.connectFailures.push_back(std::string());
    }
    PipeLink link;
    link.label = pipe->label;
    World* w = &world;
    link.transfer = [w, pipe](void* buffer, std::uint32_t length, bool write) -> std::uint32_t {
        return write ? PipeWrite(*w, *pipe, buffer, length) : PipeRead(*w, *pipe, buffer, length);
    };
    link.cancel = [pipe] {
        std::lock_guard<std::mutex> lock(pipe->mutex);
        pipe->cancelled = true;
        pipe->changed.notify_all();
    };
    link.cancelled = [pipe] {
        std::lock_guard<std::mutex> lock(pipe->mutex);
        return pipe->cancelled;
    };
    link.handles = std::shared_ptr<void>(nullptr, [pipe](void*) {
        std::lock_guard<std::mutex> lock(pipe->mutex);
        pipe->released = true;
    });
    return link;
}

inline EnginePlatform MakePlatform(World& world) {
    World* w = &world;
    EnginePlatform p;
    p.input.attachReader = [w] {
        return std::function<void()>([w] {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->inputCancelled = true;
            w->changed.notify_all();
        });
    };
    p.input.read = [w](void* buffer, std::size_t room) -> std::size_t {
        std::unique_lock<std::mutex> lock(w->mutex);
        if (w->inputAt >= w->input.size()) {
            if ((w->flags & 1) == 0) return 0;
            // An open channel with nothing more to say: only the stop ends the read.
            Require(w->changed.wait_for(lock, kHangLimit, [&] { return w->inputCancelled; }));
            return 0;
        }
        const std::uint64_t r = SplitMix(w->seed);
        static const std::size_t kScales[] = {8, 300, 4096, 32768};
        std::size_t piece = 1 + (r >> 8) % kScales[r & 3];
        if (piece > room) piece = room;
        if (piece > w->input.size() - w->inputAt) piece = w->input.size() - w->inputAt;
        std::memcpy(buffer, w->input.data() + w->inputAt, piece);
        w->inputAt += piece;
        return piece;
    };
    p.output.write = [w](const void* bytes, std::size_t count) -> std::size_t {
        std::lock_guard<std::mutex> lock(w->mutex);
        if (w->outputDead) return 0;
        std::size_t take = count;
        if ((w->flags & 4) != 0 && take > 7) take = 7;
        if (w->outputBudget != 0) {
            const std::size_t room = w->outputBudget > w->output.size() ? w->outputBudget - w->output.size() : 0;
            if (take > room) take = room;
            if (take == 0) {
                w->outputDead = true;
                return 0;
            }
        }
        w->output.append(static_cast<const char*>(bytes), take);
        return take;
    };
    // Time stands almost still while input is coming, and leaps once an open
    // channel has nothing more to say, so that the idle end comes in a few turns.
    p.tickCount = [w] {
        std::lock_guard<std::mutex> lock(w->mutex);
        const bool drained = w->inputAt >= w->input.size() && (w->flags & 1) != 0;
        w->now += drained ? 40000 : 1;
        return w->now;
    };
    p.inputWait = std::chrono::milliseconds(1);
    p.readerStopLimit = std::chrono::milliseconds(2000);
    p.requirePipeAllowlisted = [w](std::string_view path, const WideString&) {
        std::lock_guard<std::mutex> lock(w->mutex);
        if (path == kBridgePipe) {
            if ((w->flags & 2) != 0) throw ProgramError("This named pipe is not in the HTTP allowlist.");
            return;
        }
        const std::uint8_t op = w->script.At(w->serviceCursor);
        std::uint8_t salt = 0;
        for (const char c : path) salt = static_cast<std::uint8_t>(salt * 31 + static_cast<std::uint8_t>(c));
        const unsigned pick = (op ^ salt) % 8;
        if (pick == 0) throw ProgramError("This named pipe is not in the HTTP allowlist.");
        if (pick == 1) throw ProgramError("Could not open the named pipe allowlist.");
    };
    p.waitNamedPipe = [w](std::string_view) -> std::uint32_t {
        std::lock_guard<std::mutex> lock(w->mutex);
        static const std::uint32_t kResults[] = {0, 2, 3, 121, 231, 5, 53, 0};
        return kResults[w->script.At(w->serviceCursor) % 8];
    };
    p.bridge.connectPipe = [w](const std::string& path, const WideString&) -> PipeLink {
        Require(path == kBridgePipe);
        return Connect(*w);
    };
    p.bridge.startThread = [w](std::function<void()> body) {
        std::uint8_t op;
        std::shared_ptr<FakePipe> pipe;
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            op = w->script.At(w->connectCursor);
            pipe = w->pipes.back();  // the pump is started right after its connect
        }
        if (op % 32 == 31) {
            std::lock_guard<std::mutex> lock(pipe->mutex);
            pipe->threadRefused = true;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
    return p;
}

inline bool Parse(const std::uint8_t* data, std::size_t size, World& world) {
    if (size < 4) return false;
    world.flags = data[0];
    world.outputBudget = static_cast<std::size_t>(data[1]) * 97;
    std::size_t scriptLength = Le16(data + 2);
    if (scriptLength > size - 4) scriptLength = size - 4;
    world.script.bytes.assign(reinterpret_cast<const char*>(data + 4), scriptLength);
    world.input.assign(reinterpret_cast<const char*>(data + 4 + scriptLength), size - 4 - scriptLength);
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    world.seed = hash;
    return true;
}

struct Run {
    bool normal = false;
    std::string message;
};

inline Run RunEngine(EngineMode mode, World& world) {
    const EnginePlatform platform = MakePlatform(world);
    Run run;
    try {
        RunStreamEngine(mode, mode == EngineMode::Bridge ? kBridgePipe : std::string(), u"C:\\allow", platform);
        run.normal = true;
    } catch (const ProgramError& error) {
        run.message = error.what();
    }
    return run;
}

inline bool Is(const Frame& frame, FrameType type) { return frame.type == static_cast<std::uint32_t>(type); }

// The output as frames; a dead output may end in the cut start of one frame,
// a live one may not. It always starts with the exact 16 bytes of Hello.
inline std::vector<Frame> OutputFrames(const World& world) {
    std::size_t rest = 0;
    bool bad = false;
    std::vector<Frame> frames = Decode(world.output, rest, bad);
    Require(!bad);
    Require(rest == 0 || world.outputDead);
    static const char kHello[16] = {'Q', 'S', 'F', '1', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!world.output.empty()) {
        Require(world.output.size() >= 16 || world.outputDead);
        Require(std::memcmp(world.output.data(), kHello, world.output.size() < 16 ? world.output.size() : 16) == 0);
    }
    for (std::size_t i = 1; i < frames.size(); ++i) Require(!Is(frames[i], FrameType::Hello));
    return frames;
}

// Every Pong answers the Ping at its place, payload and stream ID alike; when
// the input was handled to its end, every Ping has its Pong.
inline void CheckPongs(const std::vector<Frame>& input, const std::vector<Frame>& output, bool allAnswered) {
    std::vector<const Frame*> pings;
    for (const Frame& f : input) {
        if (Is(f, FrameType::Ping)) pings.push_back(&f);
    }
    std::size_t answered = 0;
    for (const Frame& f : output) {
        if (!Is(f, FrameType::Pong)) continue;
        Require(answered < pings.size());
        Require(f.streamId == pings[answered]->streamId && f.payload == pings[answered]->payload);
        ++answered;
    }
    if (allAnswered) Require(answered == pings.size());
}

inline void CheckEnding(const Run& run, const std::set<std::string>& messages) {
    if (!run.normal) Require(messages.count(run.message) != 0);
}

}  // namespace harness
