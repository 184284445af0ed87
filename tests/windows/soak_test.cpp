// Soak of the real program in bridge mode under Wine: 64 streams at a time to
// an echo server, Data of 0 to 1048576 bytes, standard input written in chunks
// that ignore frame boundaries, servers that disconnect mid-stream, clients
// that send Eof or Close mid-data. Every byte of standard output is parsed as
// frames and every echoed byte is compared with the byte regenerated from its
// stream's plan; at the end the program holds no more handles or threads than
// after the warm-up, and exits 0 when its standard input closes. One thread
// plays the client and checks the output: the session's reader collects the
// output meanwhile, so a write to the program's input can wait without a
// deadlock (a program that stops taking it meets the suite's time-out).
//
// Settings from the environment (so that a failure can be replayed):
//   QSB_SOAK_SEED            the seed (every failure names it)
//   QSB_SOAK_MIB_PER_STREAM  MiB echoed per stream slot (default 4: 256 MiB in all)
// Each stream's plan and bytes follow from the seed and its stream ID alone;
// how the 64 slots interleave and where stdin is cut also come from the seed,
// but depend on timing.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/process_usage_win32.h"
#include "support/product_session_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1048576;
constexpr std::size_t kSlots = 64;
constexpr std::uint32_t kMaxData = 1048576;
constexpr std::uint32_t kMaxProgramData = 32768;
constexpr std::uint64_t kNoCut = ~0ull;
// No byte on standard output for this long while streams wait is a hang.
constexpr auto kStallLimit = std::chrono::seconds(60);

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 0);
}

// SplitMix64: small, fast, and the same sequence with every compiler.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1; n > 0.
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }
    bool Percent(unsigned p) { return Below(100) < p; }

private:
    std::uint64_t state_;
};

std::uint64_t Mix(std::uint64_t seed, std::uint64_t salt) {
    return Random(seed ^ (salt * 0xd1342543de82ef95ull)).Next();
}

// What a stream's client does.
enum class Fate {
    Complete,      // sends everything (sometimes then Eof), waits for the whole echo, Close
    CloseMidData,  // Close after a part, echo still on its way
    EofThenDrain,  // Eof after a part, waits for the echo of that part, Close
    EofThenData,   // Eof after a part, then Data: the program must answer Close
};

struct StreamPlan {
    std::uint64_t total = 0;     // data bytes the client means to send
    std::uint64_t cut = kNoCut;  // the server disconnects after echoing this many
    Fate fate = Fate::Complete;
    std::uint64_t at = 0;  // where CloseMidData / EofThen* act
    bool eofWhenComplete = false;
    std::uint64_t contentSeed = 0;
    std::uint64_t frameSeed = 0;
};

StreamPlan PlanStream(std::uint64_t seed, std::uint32_t id, std::uint64_t average) {
    Random r(Mix(seed, id));
    StreamPlan plan;
    plan.total = r.Percent(10) ? r.Below(100) : r.Below(2 * average + 1);
    const std::uint64_t f = r.Below(100);
    plan.fate = f < 40 ? Fate::Complete : f < 65 ? Fate::CloseMidData : f < 85 ? Fate::EofThenDrain : Fate::EofThenData;
    plan.at = plan.fate == Fate::Complete ? plan.total : r.Below(plan.total + 1);
    // The echo-cut server reads its limit from the first 8 bytes, so a cut needs them.
    if (plan.fate != Fate::EofThenData && plan.total >= 8 && r.Percent(30)) plan.cut = 8 + r.Below(plan.total - 7);
    plan.eofWhenComplete = r.Percent(50);
    plan.contentSeed = r.Next();
    plan.frameSeed = r.Next();
    return plan;
}

// A stream's bytes: the server's cut limit (8 bytes, little-endian), then
// pseudo-random words. The client's copy makes what it sends; the checker's
// copy makes the same bytes again to compare the echo with.
class Content {
public:
    explicit Content(const StreamPlan& plan) : cut_(plan.cut), random_(plan.contentSeed) {}
    std::string Next(std::size_t size) {
        std::string out(size, '\0');
        for (char& byte : out) {
            if (position_ % 8 == 0) word_ = position_ == 0 ? cut_ : random_.Next();
            byte = static_cast<char>(word_ >> (8 * (position_++ % 8)));
        }
        return out;
    }

private:
    std::uint64_t cut_;
    Random random_;
    std::uint64_t position_ = 0;
    std::uint64_t word_ = 0;
};

// Client Data sizes over the whole range, the edges included.
std::uint32_t DataFrameSize(Random& r) {
    const std::uint64_t kind = r.Below(100);
    if (kind < 5) return 0;
    if (kind < 10) return kMaxData;
    if (kind < 35) return static_cast<std::uint32_t>(1 + r.Below(64));
    if (kind < 65) return static_cast<std::uint32_t>(1 + r.Below(kMaxProgramData));
    return static_cast<std::uint32_t>(kMaxProgramData + 1 + r.Below(kMaxData - kMaxProgramData - 1));
}

// Standard input write sizes, 1 byte to 512 KiB, spread evenly over the powers of two.
std::size_t ChunkSize(Random& r) {
    const std::size_t base = std::size_t{1} << r.Below(19);
    return base + static_cast<std::size_t>(r.Below(base));
}

struct CountsAt {
    DWORD handles = 0;
    DWORD threads = 0;
    bool operator==(const CountsAt&) const = default;
};

// One stream: what the client sent, and what the program answered.
struct Stream {
    enum class Phase { Sending, Draining, AwaitingClose };
    enum class Stage { Opening, Open, AfterEof, Closed };
    explicit Stream(const StreamPlan& p) : plan(p), frames(p.frameSeed), content(p), expected(p) {}
    StreamPlan plan;
    Random frames;
    Content content;
    Content expected;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    Phase phase = Phase::Sending;
    Stage stage = Stage::Opening;
    bool eof = false;
};

// The bridge program, its echo server, the client of 64 slots and the checker
// of everything the program writes, for one soak run. Each failure is
// reported as it is found.
class Soak {
public:
    explicit Soak(std::uint64_t seed)
        : seed_(seed),
          pipe_(UniqueTestPipeName("soak")),
          server_(pipe_, {L"--mode", L"echo-cut", L"--instances", L"96"}),
          allowlist_({pipe_}),
          session_(BridgeArguments(allowlist_, pipe_)),
          random_(Mix(seed, 0x77726974ull)) {}

    // Runs the 64 slots until each has had `quota` bytes echoed and every stream is sealed.
    bool RunPhase(std::uint64_t quota, const char* name) {
        for (Slot& slot : slots_) slot.echoed = 0;
        lastOutput_ = Clock::now();
        average_ = std::min<std::uint64_t>(std::max<std::uint64_t>(quota / 3, 64 * 1024), 16 * kMiB);
        std::uint64_t finalPing = 0;
        while (failures_ == 0) {
            Take(0);
            std::vector<std::size_t> ready;
            bool active = false;
            for (std::size_t s = 0; s < kSlots; ++s) {
                if (slots_[s].id == 0) {
                    if (slots_[s].echoed < quota && finalPing == 0) ready.push_back(s);
                    continue;
                }
                active = true;
                const Stream& stream = *streams_.at(slots_[s].id);
                if (stream.stage == Stream::Stage::Closed || stream.phase == Stream::Phase::Sending ||
                    (stream.phase == Stream::Phase::Draining && stream.received == stream.sent)) {
                    ready.push_back(s);
                }
            }
            if (!ready.empty()) {
                Act(ready[random_.Below(ready.size())]);
                if (outbox_.size() >= flushAt_) {
                    Flush(false);
                    flushAt_ = 64 * 1024 + random_.Below(2 * kMiB);
                }
                continue;
            }
            if (!active && finalPing == 0) {
                finalPing = ++pingSeq_;
                outbox_ += FrameBytes(8, 0, std::to_string(finalPing));
            }
            if (finalPing != 0 && lastPong_ >= finalPing) break;
            // Everything waits for the program: give it all that is queued.
            Flush(true);
            Take(200);
            if (Child().OutputEnded()) Fail(std::string("standard output ended during the ") + name);
            if (Clock::now() - lastOutput_ > kStallLimit) Fail(std::string("no output for 60 s during the ") + name);
        }
        return failures_ == 0;
    }

    CountsAt Counts() { return {ProcessHandleCount(Child().Process()), ProcessThreadCount(Child().Id())}; }

    // Polls (bounded) until the counts equal `target`, or are stable when `target` is empty.
    CountsAt Settle(std::optional<CountsAt> target) {
        const auto giveUp = Clock::now() + std::chrono::seconds(10);
        CountsAt last = Counts();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const CountsAt now = Counts();
            if (now == target.value_or(last) || Clock::now() > giveUp) return now;
            last = now;
        }
    }

    // The rest of the output once the program has ended: it must still parse,
    // cannot belong to any stream, and no stream may be left unsealed.
    void AtEnd() {
        Feed(Child().TakeAllOutput());
        if (!buffer_.empty()) Fail("output ends inside a frame: " + std::to_string(buffer_.size()) + " bytes left");
        if (!streams_.empty()) Fail(std::to_string(streams_.size()) + " streams were never sealed");
    }

    ChildProcess& Child() { return session_.Child(); }

private:
    struct Slot {
        std::uint32_t id = 0;  // 0: no stream
        std::uint64_t echoed = 0;
    };

    void Fail(const std::string& what) {
        if (++failures_ <= 20) ADD_FAILURE() << what;
    }
    void Fail(std::uint32_t id, const std::string& what) { Fail("stream " + std::to_string(id) + ": " + what); }

    // The client's next step for one slot.
    void Act(std::size_t s) {
        Slot& slot = slots_[s];
        if (slot.id == 0) {
            slot.id = nextId_++;
            streams_[slot.id] = std::make_unique<Stream>(PlanStream(seed_, slot.id, average_));
            outbox_ += FrameBytes(2, slot.id);
            return;
        }
        Stream& stream = *streams_.at(slot.id);
        // The program ended the stream (acknowledged, which also frees its
        // table entry at once), or its echo is complete.
        if (stream.stage == Stream::Stage::Closed || stream.phase == Stream::Phase::Draining) {
            Finish(slot);
            return;
        }
        const std::uint64_t limit = stream.plan.fate == Fate::Complete ? stream.plan.total : stream.plan.at;
        if (stream.sent < limit) {
            const std::uint64_t size = std::min<std::uint64_t>(DataFrameSize(stream.frames), limit - stream.sent);
            stream.sent += size;
            outbox_ += FrameBytes(5, slot.id, stream.content.Next(size));
            return;
        }
        switch (stream.plan.fate) {
            case Fate::Complete:
                if (stream.plan.eofWhenComplete) outbox_ += FrameBytes(6, slot.id);
                stream.phase = Stream::Phase::Draining;
                break;
            case Fate::CloseMidData:
                Finish(slot);
                break;
            case Fate::EofThenDrain:
                outbox_ += FrameBytes(6, slot.id);
                stream.phase = Stream::Phase::Draining;
                break;
            case Fate::EofThenData:
                // Not part of the stream: the program must refuse it with Close.
                outbox_ += FrameBytes(6, slot.id) + FrameBytes(5, slot.id, std::string(stream.frames.Below(4096), 'x'));
                stream.phase = Stream::Phase::AwaitingClose;
                break;
        }
    }

    // Close, then a Ping: its Pong marks the point after which no frame of the stream may come.
    void Finish(Slot& slot) {
        sealing_[++pingSeq_].push_back(slot.id);
        outbox_ += FrameBytes(7, slot.id) + FrameBytes(8, 0, std::to_string(pingSeq_));
        slot.echoed += streams_.at(slot.id)->received;
        slot.id = 0;
    }

    // Writes the queued bytes in random chunks; with `all` false the tail
    // shorter than the next chunk stays queued, usually inside a frame.
    void Flush(bool all) {
        std::size_t done = 0;
        while (done < outbox_.size()) {
            std::size_t n = ChunkSize(random_);
            if (n > outbox_.size() - done) {
                if (!all) break;
                n = outbox_.size() - done;
            }
            if (!Child().Write(outbox_.data() + done, n)) {
                Fail("standard input of the program closed during the run");
                break;
            }
            done += n;
        }
        outbox_.erase(0, done);
    }

    // Takes the output that has come (waiting up to `timeoutMs` for some).
    void Take(std::uint32_t timeoutMs) {
        const std::string out = Child().TakeOutput(timeoutMs);
        if (out.empty()) return;
        lastOutput_ = Clock::now();
        Feed(out);
    }

    // The output after Hello (which the session has read), frame by frame.
    void Feed(const std::string& bytes) {
        buffer_ += bytes;
        // Magic, version and length of every header before the frames are taken.
        for (std::size_t at = 0; at + kWireHeaderSize <= buffer_.size();
             at += kWireHeaderSize + WireWord(buffer_, at + 12)) {
            if (buffer_.compare(at, 6, kHello, 0, 6) != 0 || WireWord(buffer_, at + 12) > kMaxData) {
                Fail("malformed frame header in the output");
                buffer_.clear();
                return;
            }
        }
        std::size_t rest = 0;
        for (const WireFrame& frame : ParseWire(buffer_, &rest)) OnFrame(frame.type, frame.streamId, frame.payload);
        buffer_.erase(0, buffer_.size() - rest);
    }

    void OnFrame(std::uint32_t type, std::uint32_t id, const std::string& payload) {
        if (type == 9) return OnPong(id, payload);
        const std::string what = "frame of type " + std::to_string(type);
        if (type < 3 || type > 7) return Fail(id, what + " in a bridge session");
        if (sealed_.count(id) != 0) return Fail(id, what + " after the client's Close was handled");
        const auto it = streams_.find(id);
        if (it == streams_.end()) return Fail(id, what + " for a stream that was never opened");
        Stream& stream = *it->second;
        if (type == 4) return Fail(id, "OpenFailed: " + payload);
        if (stream.stage == Stream::Stage::Opening) {
            if (type != 3) Fail(id, "first " + what + ", not Opened");
            if (!payload.empty()) Fail(id, "Opened carries a label for a pipe without identity");
            stream.stage = Stream::Stage::Open;
            return;
        }
        if (stream.stage == Stream::Stage::Closed) return Fail(id, what + " after the program's Close");
        switch (type) {
            case 3:
                return Fail(id, "second Opened");
            case 5:
                if (stream.stage != Stream::Stage::Open) Fail(id, "Data after Eof");
                if (payload.empty() || payload.size() > kMaxProgramData)
                    Fail(id, "Data of " + std::to_string(payload.size()) + " bytes");
                if (stream.received + payload.size() > stream.sent) return Fail(id, "more bytes echoed than sent");
                if (payload != stream.expected.Next(payload.size())) {
                    Fail(id, "the echo differs from the bytes sent within the " + std::to_string(payload.size()) +
                                 " bytes from offset " + std::to_string(stream.received));
                }
                stream.received += payload.size();
                return;
            case 6:
                if (!payload.empty() || stream.stage != Stream::Stage::Open) Fail(id, "bad or second Eof");
                stream.stage = Stream::Stage::AfterEof;
                stream.eof = true;
                return;
            case 7:
                if (!payload.empty()) Fail(id, "Close with a payload");
                stream.stage = Stream::Stage::Closed;
                return;
        }
    }

    void OnPong(std::uint32_t id, const std::string& payload) {
        // The client's Pings carry their sequence numbers, and are answered in order.
        if (id != 0 || payload != std::to_string(lastPong_ + 1))
            return Fail("Pong " + payload + " after Pong " + std::to_string(lastPong_));
        const std::uint64_t seq = ++lastPong_;
        for (auto it = sealing_.begin(); it != sealing_.end() && it->first <= seq; it = sealing_.erase(it)) {
            for (const std::uint32_t sealed : it->second) Seal(sealed);
        }
    }

    // The client's Close of this stream has been handled: judge its ending.
    void Seal(std::uint32_t id) {
        sealed_.insert(id);
        const std::unique_ptr<Stream> owned = std::move(streams_.at(id));
        streams_.erase(id);
        const Stream& stream = *owned;
        const StreamPlan& plan = stream.plan;
        if (stream.stage == Stream::Stage::Opening) return Fail(id, "no Opened before the client's Close was handled");
        // The plan follows from the seed and the ID; what happened does not.
        const std::string where =
            " (sent " + std::to_string(stream.sent) + ", echoed " + std::to_string(stream.received) + ")";
        const bool serverCut = plan.cut != kNoCut && plan.cut <= stream.sent;
        if (stream.eof) {
            // Eof comes only from the end of the pipe, after every byte the server echoed.
            if (!serverCut || stream.received != plan.cut)
                Fail(id, "Eof without the server's cut, or not after all it echoed" + where);
        } else if (stream.stage == Stream::Stage::Closed) {
            if (plan.fate != Fate::EofThenData && !serverCut)
                Fail(id, "Close from the program without a cause" + where);
        } else {
            if (plan.fate == Fate::EofThenData) Fail(id, "Data after Eof was not answered with Close" + where);
            if ((plan.fate == Fate::Complete || plan.fate == Fate::EofThenDrain) && stream.received != stream.sent) {
                Fail(id, "closed before its echo was complete" + where);
            }
        }
    }

    std::uint64_t seed_;
    std::string pipe_;
    TestPipeServer server_;
    AllowlistFile allowlist_;
    ProductSession session_;
    Random random_;
    std::uint64_t average_ = 0;
    Slot slots_[kSlots];
    std::map<std::uint32_t, std::unique_ptr<Stream>> streams_;     // opened and not yet sealed
    std::map<std::uint64_t, std::vector<std::uint32_t>> sealing_;  // closed by the client, by the Ping behind the Close
    std::set<std::uint32_t> sealed_;
    std::uint32_t nextId_ = 1;
    std::uint64_t pingSeq_ = 0;
    std::uint64_t lastPong_ = 0;
    std::string outbox_;
    std::size_t flushAt_ = 256 * 1024;
    std::string buffer_;
    Clock::time_point lastOutput_;
    std::size_t failures_ = 0;
};

}  // namespace

// 64 streams at a time through the real program; every byte and frame checked,
// nothing leaked, and a clean exit at the end of standard input.
TEST(Soak, SixtyFourStreamsCarryEveryByteThroughCutsAndEarlyEnds) {
    const std::uint64_t seed = EnvironmentNumber("QSB_SOAK_SEED", 0x5eed2026);
    const std::uint64_t perSlot = EnvironmentNumber("QSB_SOAK_MIB_PER_STREAM", 4) * kMiB;
    char replay[64];
    std::snprintf(replay, sizeof replay, "replay with QSB_SOAK_SEED=0x%llx", static_cast<unsigned long long>(seed));
    SCOPED_TRACE(replay);

    Soak soak(seed);
    // The warm-up runs 64 streams at once with 64 MiB in all, so that every
    // lazily made piece of process state exists before the baseline is taken:
    // the C++ runtime's mutexes (winpthreads) make their kernel event on their
    // first contention, and keep it for their lifetime.
    ASSERT_TRUE(soak.RunPhase(kMiB, "warm-up"));
    const CountsAt baseline = soak.Settle(std::nullopt);
    ASSERT_TRUE(soak.RunPhase(perSlot, "soak"));
    const CountsAt end = soak.Settle(baseline);
    soak.Child().CloseInput();
    EXPECT_EQ(soak.Child().Wait(kSessionWaitMs), 0u);
    EXPECT_EQ(soak.Child().Errors(), "");
    soak.AtEnd();
    EXPECT_EQ(end.handles, baseline.handles) << "handles after the soak";
    EXPECT_EQ(end.threads, baseline.threads) << "threads after the soak";
}
