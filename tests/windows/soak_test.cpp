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
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process_usage_win32.h"
#include "support/product_session_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

using Clock = std::chrono::steady_clock;
using Counts = std::pair<DWORD, DWORD>;  // handles, threads

constexpr std::uint64_t kMiB = 1048576, kNoCut = ~0ull, kGamma = 0x9e3779b97f4a7c15ull;
constexpr std::size_t kSlots = 64;
constexpr std::uint32_t kMaxData = 1048576, kMaxProgramData = 32768;
constexpr std::uint32_t kOpen = 2, kOpened = 3, kOpenFailed = 4, kData = 5, kEof = 6, kClose = 7, kPing = 8, kPong = 9;
// No byte on standard output for this long while streams wait is a hang.
constexpr auto kStallLimit = std::chrono::seconds(60);

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 0);
}

// SplitMix64's finaliser: the same sequence with every compiler.
std::uint64_t Mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

struct Random {
    std::uint64_t state;
    std::uint64_t Next() { return Mix(state += kGamma); }
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }  // n > 0
    bool Percent(unsigned p) { return Below(100) < p; }
};

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
    std::uint64_t at = 0;  // where the client stops sending data
    bool eofWhenComplete = false;
    std::uint64_t contentSeed = 0;
    std::uint64_t frameSeed = 0;
};

StreamPlan PlanStream(std::uint64_t seed, std::uint32_t id, std::uint64_t average) {
    Random r{Random{seed ^ (id * 0xd1342543de82ef95ull)}.Next()};
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

// A stream's bytes from offset `at`: the server's cut limit (8 bytes,
// little-endian), then pseudo-random words. The client sends them and the
// checker makes them again to compare the echo with.
std::string Content(const StreamPlan& plan, std::uint64_t at, std::size_t size) {
    std::string out(size, '\0');
    for (char& byte : out) {
        const std::uint64_t word = at < 8 ? plan.cut : Mix(plan.contentSeed + at / 8 * kGamma);
        byte = static_cast<char>(word >> (8 * (at++ % 8)));
    }
    return out;
}

// Client Data sizes over the whole range, the edges included.
std::uint32_t DataFrameSize(Random& r) {
    const std::uint64_t kind = r.Below(100);
    if (kind < 5) return 0;
    if (kind < 10) return kMaxData;
    if (kind < 35) return static_cast<std::uint32_t>(1 + r.Below(64));
    if (kind < 65) return static_cast<std::uint32_t>(1 + r.Below(kMaxProgramData));
    return static_cast<std::uint32_t>(kMaxProgramData + 1 + r.Below(kMaxData - kMaxProgramData - 1));
}

// One stream: what the client sent, and what the program answered.
struct Stream {
    StreamPlan plan;
    Random frames{plan.frameSeed};
    std::uint64_t sent = 0, received = 0;
    enum { Sending, Draining, AwaitingClose } phase = Sending;
    bool opened = false, eof = false, closed = false;  // the program's frames so far
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
          random_{Random{seed ^ (0x77726974ull * 0xd1342543de82ef95ull)}.Next()} {}

    // Runs the 64 slots until each has had `quota` bytes echoed and every stream is sealed.
    bool RunPhase(std::uint64_t quota, const std::string& name) {
        for (Slot& slot : slots_) slot.echoed = 0;
        lastOutput_ = Clock::now();
        average_ = std::clamp<std::uint64_t>(quota / 3, 64 * 1024, 16 * kMiB);
        std::uint64_t finalPing = 0;
        while (failures_ == 0) {
            Take(0);
            std::vector<std::size_t> ready;
            bool active = false;
            for (std::size_t s = 0; s < kSlots; ++s) {
                const Stream* stream = slots_[s].id == 0 ? nullptr : streams_.at(slots_[s].id).get();
                active |= stream != nullptr;
                if (stream ? stream->closed || stream->phase == Stream::Sending ||
                                 (stream->phase == Stream::Draining && stream->received == stream->sent)
                           : slots_[s].echoed < quota && finalPing == 0) {
                    ready.push_back(s);
                }
            }
            if (!ready.empty()) {
                Act(slots_[ready[random_.Below(ready.size())]]);
                if (outbox_.size() >= flushAt_) {
                    Flush(false);
                    flushAt_ = 64 * 1024 + random_.Below(2 * kMiB);
                }
                continue;
            }
            if (!active && finalPing == 0) outbox_ += FrameBytes(kPing, 0, std::to_string(finalPing = ++pingSeq_));
            if (finalPing != 0 && lastPong_ >= finalPing) break;
            // Everything waits for the program: give it all that is queued.
            Flush(true);
            Take(200);
            if (Child().OutputEnded()) Fail("standard output ended during the " + name);
            if (Clock::now() - lastOutput_ > kStallLimit) Fail("no output for 60 s during the " + name);
        }
        return failures_ == 0;
    }

    // Polls (bounded) until the counts equal `target`, or are stable when `target` is empty.
    Counts Settle(std::optional<Counts> target) {
        const auto giveUp = Clock::now() + std::chrono::seconds(10);
        const auto counts = [this] {
            return Counts{ProcessHandleCount(Child().Process()), ProcessThreadCount(Child().Id())};
        };
        for (Counts last = counts();;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const Counts now = counts();
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
    void Act(Slot& slot) {
        if (slot.id == 0) {
            slot.id = nextId_++;
            streams_[slot.id] = std::make_unique<Stream>(Stream{PlanStream(seed_, slot.id, average_)});
            outbox_ += FrameBytes(kOpen, slot.id);
            return;
        }
        Stream& stream = *streams_.at(slot.id);
        const StreamPlan& plan = stream.plan;
        // The program ended the stream (acknowledged, which also frees its
        // table entry at once), or its echo is complete, or the client gives up mid-data.
        if (stream.closed || stream.phase == Stream::Draining ||
            (stream.sent == plan.at && plan.fate == Fate::CloseMidData)) {
            return Finish(slot);
        }
        if (stream.sent < plan.at) {
            const std::uint64_t size = std::min<std::uint64_t>(DataFrameSize(stream.frames), plan.at - stream.sent);
            outbox_ += FrameBytes(kData, slot.id, Content(plan, stream.sent, size));
            stream.sent += size;
            return;
        }
        if (plan.fate != Fate::Complete || plan.eofWhenComplete) outbox_ += FrameBytes(kEof, slot.id);
        stream.phase = Stream::Draining;
        if (plan.fate == Fate::EofThenData) {
            // Not part of the stream: the program must refuse it with Close.
            outbox_ += FrameBytes(kData, slot.id, std::string(stream.frames.Below(4096), 'x'));
            stream.phase = Stream::AwaitingClose;
        }
    }

    // Close, then a Ping: its Pong marks the point after which no frame of the stream may come.
    void Finish(Slot& slot) {
        sealing_[++pingSeq_].push_back(slot.id);
        outbox_ += FrameBytes(kClose, slot.id) + FrameBytes(kPing, 0, std::to_string(pingSeq_));
        slot.echoed += streams_.at(slot.id)->received;
        slot.id = 0;
    }

    // Writes the queued bytes in chunks of 1 byte to 512 KiB, spread evenly
    // over the powers of two; with `all` false the tail shorter than the next
    // chunk stays queued, usually inside a frame.
    void Flush(bool all) {
        std::size_t done = 0;
        while (done < outbox_.size()) {
            const std::size_t base = std::size_t{1} << random_.Below(19);
            std::size_t n = base + static_cast<std::size_t>(random_.Below(base));
            if (n > outbox_.size() - done && !all) break;
            n = std::min(n, outbox_.size() - done);
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
        for (const WireFrame& frame : ParseWire(buffer_, &rest)) OnFrame(frame);
        buffer_.erase(0, buffer_.size() - rest);
    }

    void OnFrame(const WireFrame& f) {
        if (f.type == kPong) return OnPong(f);
        const auto it = streams_.find(f.streamId);
        Stream* const s = it == streams_.end() ? nullptr : it->second.get();
        const std::size_t size = f.payload.size();
        const char* const wrong =
            f.type < kOpened || f.type > kClose ? "is no stream frame"
            : s == nullptr                     ? "is for a stream never opened, or after the client's Close was handled"
            : f.type == kOpenFailed            ? "is OpenFailed"
            : (f.type == kOpened) == s->opened ? "is not Opened first, or a second Opened"
            : s->closed                        ? "comes after the program's Close"
            : f.type == kData && (s->eof || size == 0 || size > kMaxProgramData || s->received + size > s->sent)
                ? "is Data after Eof, of a size out of range, or beyond what was sent"
            : f.type != kData && size != 0 ? "carries a payload (a label for a pipe without identity)"
            : f.type == kEof && s->eof     ? "is a second Eof"
                                           : nullptr;
        if (wrong != nullptr)
            return Fail(f.streamId, "frame " + std::to_string(f.type) + " " + wrong + ": " + f.payload.substr(0, 80));
        if (f.type == kData) {
            if (f.payload != Content(s->plan, s->received, size)) {
                Fail(f.streamId, "the echo differs from the bytes sent within the " + std::to_string(size) +
                                     " bytes from offset " + std::to_string(s->received));
            }
            s->received += size;
        }
        s->opened = true;
        s->eof |= f.type == kEof;
        s->closed |= f.type == kClose;
    }

    void OnPong(const WireFrame& f) {
        // The client's Pings carry their sequence numbers, and are answered in order.
        if (f.streamId != 0 || f.payload != std::to_string(lastPong_ + 1))
            return Fail("Pong " + f.payload + " after Pong " + std::to_string(lastPong_));
        const std::uint64_t seq = ++lastPong_;
        for (auto it = sealing_.begin(); it != sealing_.end() && it->first <= seq; it = sealing_.erase(it)) {
            for (const std::uint32_t sealed : it->second) Seal(sealed);
        }
    }

    // The client's Close of this stream has been handled: judge its ending.
    void Seal(std::uint32_t id) {
        const std::unique_ptr<Stream> stream = std::move(streams_.at(id));
        streams_.erase(id);
        const StreamPlan& plan = stream->plan;
        // The plan follows from the seed and the ID; what happened does not.
        const std::string where =
            " (sent " + std::to_string(stream->sent) + ", echoed " + std::to_string(stream->received) + ")";
        const bool serverCut = plan.cut != kNoCut && plan.cut <= stream->sent;
        if (!stream->opened) {
            Fail(id, "no Opened before the client's Close was handled");
        } else if (stream->eof) {
            // Eof comes only from the end of the pipe, after every byte the server echoed.
            if (!serverCut || stream->received != plan.cut)
                Fail(id, "Eof without the server's cut, or not after all it echoed" + where);
        } else if (stream->closed) {
            if (plan.fate != Fate::EofThenData && !serverCut)
                Fail(id, "Close from the program without a cause" + where);
        } else if (plan.fate == Fate::EofThenData) {
            Fail(id, "Data after Eof was not answered with Close" + where);
        } else if (plan.fate != Fate::CloseMidData && stream->received != stream->sent) {
            Fail(id, "closed before its echo was complete" + where);
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
    // Opened and not yet sealed: IDs are never reused, so a sealed stream is unknown.
    std::map<std::uint32_t, std::unique_ptr<Stream>> streams_;
    std::map<std::uint64_t, std::vector<std::uint32_t>> sealing_;  // closed by the client, by the Ping behind the Close
    std::uint32_t nextId_ = 1;
    std::uint64_t pingSeq_ = 0, lastPong_ = 0;
    std::string outbox_, buffer_;
    std::size_t flushAt_ = 256 * 1024;
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
    const Counts baseline = soak.Settle(std::nullopt);
    ASSERT_TRUE(soak.RunPhase(perSlot, "soak"));
    const Counts end = soak.Settle(baseline);
    soak.Child().CloseInput();
    EXPECT_EQ(soak.Child().Wait(kSessionWaitMs), 0u);
    EXPECT_EQ(soak.Child().Errors(), "");
    soak.AtEnd();
    EXPECT_EQ(end.first, baseline.first) << "handles after the soak";
    EXPECT_EQ(end.second, baseline.second) << "threads after the soak";
}
