// Soak of the real program in bridge mode under Wine: 64 streams at a time to
// an echo server, Data of 0 to 1048576 bytes, standard input written in chunks
// that ignore frame boundaries, servers that disconnect mid-stream, clients
// that send Eof or Close mid-data. Every byte of standard output is parsed as
// frames and every stream's bytes are checked by SHA-256; at the end the
// program holds no more handles or threads than after the warm-up, and exits 0
// when its standard input closes.
//
// Settings from the environment (so that a failure can be replayed):
//   QSB_SOAK_SEED            the seed (default printed by every run)
//   QSB_SOAK_MIB_PER_STREAM  MiB echoed per stream slot (default 4: 256 MiB in all)
// Each stream's plan and bytes follow from the seed and its stream ID alone;
// how the 64 slots interleave and where stdin is cut also come from the seed,
// but depend on timing.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/process_usage_win32.h"
#include "support/product_session_win32.h"
#include "support/sha256.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kDefaultSeed = 0x5eed2026;
constexpr std::uint64_t kMiB = 1048576;
constexpr std::size_t kSlots = 64;
constexpr std::uint32_t kMaxData = 1048576;
constexpr std::uint32_t kMaxProgramData = 32768;
constexpr std::uint64_t kNoCut = ~0ull;
// No byte on standard output for this long while streams wait is a hang.
constexpr auto kStallLimit = std::chrono::seconds(60);
constexpr std::uint32_t kWaitMs = 30000;

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    return *end == '\0' ? value : fallback;
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

std::uint64_t Mix(std::uint64_t seed, std::uint64_t salt) { return Random(seed ^ (salt * 0xd1342543de82ef95ull)).Next(); }

// What a stream's client does.
enum class Fate {
    Complete,         // sends everything (sometimes then Eof), waits for the whole echo, Close
    CloseMidData,     // Close after a part, echo still on its way
    EofThenDrain,     // Eof after a part, waits for the echo of that part, Close
    EofThenData,      // Eof after a part, then Data: the program must answer Close
};

const char* FateName(Fate fate) {
    switch (fate) {
        case Fate::Complete: return "complete";
        case Fate::CloseMidData: return "close-mid-data";
        case Fate::EofThenDrain: return "eof-then-drain";
        case Fate::EofThenData: return "eof-then-data";
    }
    return "?";
}

struct StreamPlan {
    std::uint32_t id = 0;
    std::uint64_t total = 0;    // data bytes the client means to send
    std::uint64_t cut = kNoCut; // the server disconnects after echoing this many
    Fate fate = Fate::Complete;
    std::uint64_t at = 0;       // where CloseMidData / EofThen* act
    bool eofWhenComplete = false;
    std::uint64_t contentSeed = 0;
    std::uint64_t frameSeed = 0;
};

StreamPlan PlanStream(std::uint64_t seed, std::uint32_t id, std::uint64_t average) {
    Random r(Mix(seed, id));
    StreamPlan plan;
    plan.id = id;
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

// A stream's bytes: the server's cut limit (little-endian), then pseudo-random bytes.
class Content {
public:
    explicit Content(const StreamPlan& plan) : random_(plan.contentSeed) {
        for (int i = 0; i < 8; ++i) header_[i] = static_cast<std::uint8_t>(plan.cut >> (8 * i));
    }
    void Fill(std::uint8_t* out, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i, ++position_) {
            if (position_ < 8) {
                out[i] = header_[position_];
                continue;
            }
            if (left_ == 0) {
                word_ = random_.Next();
                left_ = 8;
            }
            out[i] = static_cast<std::uint8_t>(word_);
            word_ >>= 8;
            --left_;
        }
    }

private:
    Random random_;
    std::uint8_t header_[8];
    std::uint64_t position_ = 0;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

Sha256::Digest PrefixDigest(const StreamPlan& plan, std::uint64_t size) {
    Content content(plan);
    Sha256 hash;
    std::vector<std::uint8_t> block(1 << 16);
    while (size > 0) {
        const std::size_t n = size < block.size() ? static_cast<std::size_t>(size) : block.size();
        content.Fill(block.data(), n);
        hash.Update(block.data(), n);
        size -= n;
    }
    return hash.Final();
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

// Standard input write sizes, 1 byte to 512 KiB, spread evenly over the powers of two.
std::size_t ChunkSize(Random& r) {
    const std::size_t base = std::size_t{1} << r.Below(19);
    return base + static_cast<std::size_t>(r.Below(base));
}

// A Ping's payload: its sequence number, little-endian.
std::string PingPayload(std::uint64_t seq) {
    std::string payload(8, '\0');
    for (int i = 0; i < 8; ++i) payload[i] = static_cast<char>(seq >> (8 * i));
    return payload;
}

std::uint64_t PingSequence(const std::string& payload) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(payload[i]);
    return v;
}

// A stream the client has finished with: what it sent, for the checker.
struct SentStream {
    StreamPlan plan;
    std::uint64_t sent = 0;
    Sha256::Digest sentDigest{};
};

// Shared by the writer thread and the checker (the test's main thread).
struct Ledger {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t version = 0;
    // Streams the client has open: echoed bytes so far and whether the program closed them.
    struct Live {
        std::uint64_t sent = 0;  // as of the writer's last look, for reports
        std::uint64_t received = 0;
        bool closedByProgram = false;
    };
    std::map<std::uint32_t, Live> live;
    std::uint32_t nextId = 1;
    // Client Closes waiting for the Pong of the Ping sent right after them.
    std::map<std::uint64_t, std::vector<SentStream>> sealing;
    std::uint64_t lastPong = 0;
    std::uint64_t finalPing = 0;  // set when the writer is done with a phase
    bool writerDone = false;
    bool stop = false;
    std::vector<std::string> failures;

    void Fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failures.size() < 20) failures.push_back(what);
        stop = true;
        ++version;
        changed.notify_all();
    }
    bool Stopped() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
};

struct Figures {
    std::uint64_t streams = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesEchoed = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t endedByServer = 0;      // Eof then Close from the program
    std::uint64_t closedByProgram = 0;    // Close alone from the program
    std::uint64_t closedByClient = 0;
    std::uint64_t dataFramesIn = 0;
    std::uint64_t stdinWrites = 0;
    std::map<Fate, std::uint64_t> fates;
    // Sampled during the run: shows the counts move with the streams.
    DWORD peakHandles = 0;
    DWORD peakThreads = 0;
};

// The client: 64 slots, each running one stream after another until it has
// had `quota` bytes echoed. Writes standard input in random chunks.
class Writer {
public:
    Writer(ChildProcess& child, Ledger& ledger, std::uint64_t seed, std::uint64_t quota, std::uint64_t& pingSeq,
           std::uint64_t& stdinWrites)
        : child_(child), ledger_(ledger), seed_(seed), quota_(quota),
          average_(std::min<std::uint64_t>(std::max<std::uint64_t>(quota / 3, 64 * 1024), 16 * kMiB)),
          random_(Mix(seed, 0x77726974ull + quota)), pingSeq_(pingSeq), writes_(stdinWrites) {}

    void Run() {
        for (;;) {
            if (ledger_.Stopped()) return;
            std::vector<std::size_t> ready;
            bool anyActive = false;
            std::uint64_t seen = 0;
            {
                std::lock_guard<std::mutex> lock(ledger_.mutex);
                seen = ledger_.version;
                for (std::size_t s = 0; s < kSlots; ++s) {
                    Slot& slot = slots_[s];
                    if (!slot.stream) {
                        if (slot.echoed < quota_) ready.push_back(s);
                        continue;
                    }
                    anyActive = true;
                    Ledger::Live& live = ledger_.live[slot.stream->plan.id];
                    live.sent = slot.stream->sent;
                    slot.closedByProgram = live.closedByProgram;
                    slot.received = live.received;
                    if (slot.closedByProgram || slot.stream->phase == Phase::Sending ||
                        (slot.stream->phase == Phase::Draining && slot.received == slot.stream->sent)) {
                        ready.push_back(s);
                    }
                }
            }
            if (ready.empty()) {
                if (!anyActive) break;
                // Everything waits for the program: give it all that is queued.
                if (!Flush(true)) return;
                std::unique_lock<std::mutex> lock(ledger_.mutex);
                ledger_.changed.wait_for(lock, std::chrono::milliseconds(200),
                                         [&] { return ledger_.version != seen || ledger_.stop; });
                continue;
            }
            Act(ready[random_.Below(ready.size())]);
            if (outbox_.size() >= flushAt_) {
                if (!Flush(false)) return;
                flushAt_ = 64 * 1024 + random_.Below(2 * kMiB);
            }
        }
        std::uint64_t last = 0;
        {
            std::lock_guard<std::mutex> lock(ledger_.mutex);
            last = ++pingSeq_;
        }
        AppendPing(last);
        if (!Flush(true)) return;
        std::lock_guard<std::mutex> lock(ledger_.mutex);
        ledger_.finalPing = last;
        ledger_.writerDone = true;
        ++ledger_.version;
        ledger_.changed.notify_all();
    }

private:
    enum class Phase { Sending, Draining, AwaitingClose };
    struct Stream {
        StreamPlan plan;
        Random frames;
        Content content;
        Sha256 hash;
        std::uint64_t sent = 0;
        Phase phase = Phase::Sending;
        explicit Stream(const StreamPlan& p) : plan(p), frames(p.frameSeed), content(p) {}
    };
    struct Slot {
        std::unique_ptr<Stream> stream;
        std::uint64_t echoed = 0;
        std::uint64_t received = 0;
        bool closedByProgram = false;
    };

    void Act(std::size_t s) {
        Slot& slot = slots_[s];
        if (!slot.stream) {
            std::uint32_t id = 0;
            {
                std::lock_guard<std::mutex> lock(ledger_.mutex);
                id = ledger_.nextId++;
                ledger_.live[id] = Ledger::Live{};
            }
            slot.stream = std::make_unique<Stream>(PlanStream(seed_, id, average_));
            outbox_ += FrameBytes(2, id);
            return;
        }
        Stream& stream = *slot.stream;
        if (slot.closedByProgram) {
            // The program ended the stream: acknowledge, which also frees its table entry at once.
            Finish(slot);
            return;
        }
        if (stream.phase == Phase::Draining) {
            Finish(slot);
            return;
        }
        const std::uint64_t limit = stream.plan.fate == Fate::Complete ? stream.plan.total : stream.plan.at;
        if (stream.sent < limit) {
            const std::uint64_t size = std::min<std::uint64_t>(DataFrameSize(stream.frames), limit - stream.sent);
            AppendData(stream, static_cast<std::uint32_t>(size));
            return;
        }
        switch (stream.plan.fate) {
            case Fate::Complete:
                if (stream.plan.eofWhenComplete) outbox_ += FrameBytes(6, stream.plan.id);
                stream.phase = Phase::Draining;
                break;
            case Fate::CloseMidData:
                Finish(slot);
                break;
            case Fate::EofThenDrain:
                outbox_ += FrameBytes(6, stream.plan.id);
                stream.phase = Phase::Draining;
                break;
            case Fate::EofThenData: {
                outbox_ += FrameBytes(6, stream.plan.id);
                // Not part of the stream: the program must refuse it with Close.
                outbox_ += FrameBytes(5, stream.plan.id, std::string(stream.frames.Below(4096), 'x'));
                stream.phase = Phase::AwaitingClose;
                break;
            }
        }
    }

    void AppendData(Stream& stream, std::uint32_t size) {
        std::string payload(size, '\0');
        auto* bytes = reinterpret_cast<std::uint8_t*>(payload.data());
        stream.content.Fill(bytes, size);
        stream.hash.Update(bytes, size);
        stream.sent += size;
        outbox_ += FrameBytes(5, stream.plan.id, payload);
    }

    void AppendPing(std::uint64_t seq) { outbox_ += FrameBytes(8, 0, PingPayload(seq)); }

    // Close, then a Ping: its Pong marks the point after which no frame of the stream may come.
    void Finish(Slot& slot) {
        Stream& stream = *slot.stream;
        SentStream done{stream.plan, stream.sent, stream.hash.Final()};
        std::uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> lock(ledger_.mutex);
            seq = ++pingSeq_;
            ledger_.live.erase(stream.plan.id);
            ledger_.sealing[seq].push_back(done);
        }
        outbox_ += FrameBytes(7, stream.plan.id);
        AppendPing(seq);
        slot.echoed += slot.received;
        slot.received = 0;
        slot.closedByProgram = false;
        slot.stream.reset();
    }

    // Writes the queued bytes in random chunks; with `all` false the tail
    // shorter than the next chunk stays queued, usually inside a frame.
    bool Flush(bool all) {
        std::size_t done = 0;
        while (done < outbox_.size()) {
            std::size_t n = ChunkSize(random_);
            if (n > outbox_.size() - done) {
                if (!all) break;
                n = outbox_.size() - done;
            }
            if (!child_.Write(outbox_.data() + done, n)) {
                if (!ledger_.Stopped()) ledger_.Fail("standard input of the program closed during the run");
                return false;
            }
            ++writes_;
            done += n;
        }
        outbox_.erase(0, done);
        return true;
    }

    ChildProcess& child_;
    Ledger& ledger_;
    std::uint64_t seed_;
    std::uint64_t quota_;
    std::uint64_t average_;
    Random random_;
    std::uint64_t& pingSeq_;
    std::uint64_t& writes_;
    Slot slots_[kSlots];
    std::string outbox_;
    std::size_t flushAt_ = 256 * 1024;
};

// Parses standard output and holds every stream to its rules.
class Checker {
public:
    Checker(Ledger& ledger, Figures& figures) : ledger_(ledger), figures_(figures) {}

    // The output after Hello (which the session has read).
    void Feed(const std::string& bytes) {
        buffer_.append(bytes);
        // Magic, version and length of every header before the frames are taken.
        for (std::size_t at = 0; at + kWireHeaderSize <= buffer_.size(); at += kWireHeaderSize + WireWord(buffer_, at + 12)) {
            if (buffer_.compare(at, 6, kHello, 0, 6) != 0 || WireWord(buffer_, at + 12) > kMaxData) {
                ledger_.Fail("malformed frame header at output offset " + std::to_string(offset_ + at));
                buffer_.clear();
                return;
            }
        }
        std::size_t rest = 0;
        for (const WireFrame& frame : ParseWire(buffer_, &rest)) OnFrame(frame.type, frame.streamId, frame.payload);
        offset_ += buffer_.size() - rest;
        buffer_.erase(0, buffer_.size() - rest);
    }

    // At the end of the output: no partial frame, and every stream sealed.
    void AtEnd() {
        if (!buffer_.empty()) {
            ledger_.Fail("output ends inside a frame: " + std::to_string(buffer_.size()) + " bytes left at offset " +
                         std::to_string(offset_));
        }
        if (!streams_.empty()) {
            ledger_.Fail(std::to_string(streams_.size()) + " streams were never sealed, first " +
                         std::to_string(streams_.begin()->first));
        }
    }

    std::uint64_t OutputBytes() const { return offset_ + buffer_.size(); }

private:
    enum class Stage { Opening, Open, AfterEof, Closed };
    struct Stream {
        Stage stage = Stage::Opening;
        Sha256 received;
        bool eof = false;
    };

    void Fail(std::uint32_t id, const std::string& what) {
        ledger_.Fail("stream " + std::to_string(id) + ": " + what);
    }

    void OnFrame(std::uint32_t type, std::uint32_t id, const std::string& payload) {
        const std::size_t length = payload.size();
        if (type == 9) {
            OnPong(id, payload);
            return;
        }
        if (type < 3 || type > 7) {
            Fail(id, "frame of type " + std::to_string(type) + " in a bridge session");
            return;
        }
        if (sealed_.count(id) != 0) {
            Fail(id, "frame of type " + std::to_string(type) + " after the client's Close was handled");
            return;
        }
        auto it = streams_.find(id);
        if (it == streams_.end()) {
            std::lock_guard<std::mutex> lock(ledger_.mutex);
            if (id == 0 || id >= ledger_.nextId) {
                ledger_.failures.push_back("frame for stream " + std::to_string(id) + " that was never opened");
                ledger_.stop = true;
                return;
            }
        }
        Stream& stream = streams_[id];
        if (type == 4) {
            Fail(id, "OpenFailed: " + payload);
            return;
        }
        if (stream.stage == Stage::Opening) {
            if (type != 3) Fail(id, "first frame is of type " + std::to_string(type) + ", not Opened");
            else if (length != 0) Fail(id, "Opened carries a label for a pipe without identity");
            stream.stage = Stage::Open;
            return;
        }
        if (stream.stage == Stage::Closed) {
            Fail(id, "frame of type " + std::to_string(type) + " after the program's Close");
            return;
        }
        switch (type) {
            case 3:
                Fail(id, "second Opened");
                return;
            case 5: {
                if (stream.stage != Stage::Open) Fail(id, "Data after Eof");
                if (length == 0 || length > kMaxProgramData) Fail(id, "Data of " + std::to_string(length) + " bytes");
                stream.received.Update(reinterpret_cast<const std::uint8_t*>(payload.data()), length);
                ++figures_.dataFramesIn;
                std::lock_guard<std::mutex> lock(ledger_.mutex);
                auto live = ledger_.live.find(id);
                if (live != ledger_.live.end()) live->second.received = stream.received.Size();
                ++ledger_.version;
                ledger_.changed.notify_all();
                return;
            }
            case 6:
                if (length != 0 || stream.stage != Stage::Open) Fail(id, "bad or second Eof");
                stream.stage = Stage::AfterEof;
                stream.eof = true;
                return;
            case 7: {
                if (length != 0) Fail(id, "Close with a payload");
                stream.stage = Stage::Closed;
                std::lock_guard<std::mutex> lock(ledger_.mutex);
                auto live = ledger_.live.find(id);
                if (live != ledger_.live.end()) live->second.closedByProgram = true;
                ++ledger_.version;
                ledger_.changed.notify_all();
                return;
            }
        }
    }

    void OnPong(std::uint32_t id, const std::string& payload) {
        if (id != 0 || payload.size() != 8) {
            ledger_.Fail("Pong that answers no Ping of the client");
            return;
        }
        const std::uint64_t seq = PingSequence(payload);
        std::vector<SentStream> done;
        {
            std::lock_guard<std::mutex> lock(ledger_.mutex);
            if (seq != ledger_.lastPong + 1) {
                ledger_.failures.push_back("Pong " + std::to_string(seq) + " after Pong " +
                                           std::to_string(ledger_.lastPong));
                ledger_.stop = true;
            }
            ledger_.lastPong = seq;
            for (auto it = ledger_.sealing.begin(); it != ledger_.sealing.end() && it->first <= seq;) {
                done.insert(done.end(), it->second.begin(), it->second.end());
                it = ledger_.sealing.erase(it);
            }
            ++ledger_.version;
            ledger_.changed.notify_all();
        }
        for (const SentStream& sent : done) Seal(sent);
    }

    // The client's Close of this stream has been handled: judge its bytes and its ending.
    void Seal(const SentStream& sent) {
        const StreamPlan& plan = sent.plan;
        const std::uint32_t id = plan.id;
        sealed_.insert(id);
        auto it = streams_.find(id);
        if (it == streams_.end() || it->second.stage == Stage::Opening) {
            Fail(id, "no Opened before the client's Close was handled");
            streams_.erase(id);
            return;
        }
        const Stream& stream = it->second;
        const std::uint64_t got = stream.received.Size();
        ++figures_.streams;
        ++figures_.fates[plan.fate];
        figures_.bytesSent += sent.sent;
        figures_.bytesEchoed += got;
        const std::string where = " (" + std::string(FateName(plan.fate)) + ", sent " + std::to_string(sent.sent) +
                                  ", echoed " + std::to_string(got) + ", cut " +
                                  (plan.cut == kNoCut ? std::string("none") : std::to_string(plan.cut)) + ")";
        if (got > sent.sent) {
            ++figures_.mismatches;
            Fail(id, "more bytes echoed than sent" + where);
        } else {
            const Sha256::Digest expected = got == sent.sent ? sent.sentDigest : PrefixDigest(plan, got);
            const Sha256::Digest actual = stream.received.Final();
            if (actual != expected) {
                ++figures_.mismatches;
                Fail(id, "echoed bytes have SHA-256 " + DigestHex(actual) + ", the first " + std::to_string(got) +
                             " bytes sent have " + DigestHex(expected) + where);
            }
        }
        const bool serverCut = plan.cut != kNoCut && plan.cut <= sent.sent;
        if (stream.eof) {
            // Eof comes only from the end of the pipe, after every byte the server echoed.
            ++figures_.endedByServer;
            if (!serverCut || got != plan.cut) Fail(id, "Eof without the server's cut, or not after all it echoed" + where);
        } else if (stream.stage == Stage::Closed) {
            ++figures_.closedByProgram;
            if (plan.fate != Fate::EofThenData && !serverCut) Fail(id, "Close from the program without a cause" + where);
        } else {
            ++figures_.closedByClient;
            if (plan.fate == Fate::EofThenData) Fail(id, "Data after Eof was not answered with Close" + where);
            if ((plan.fate == Fate::Complete || plan.fate == Fate::EofThenDrain) && got != sent.sent) {
                Fail(id, "closed before its echo was complete" + where);
            }
        }
        streams_.erase(it);
    }

    Ledger& ledger_;
    Figures& figures_;
    std::string buffer_;
    std::uint64_t offset_ = 0;
    std::map<std::uint32_t, Stream> streams_;
    std::set<std::uint32_t> sealed_;
};

std::string LiveStreams(Ledger& ledger) {
    std::lock_guard<std::mutex> lock(ledger.mutex);
    std::string text;
    for (const auto& [id, live] : ledger.live) {
        text += " " + std::to_string(id) + "(sent " + std::to_string(live.sent) + ", echoed " +
                std::to_string(live.received) +
                (live.closedByProgram ? ", closed)" : ")");
    }
    return text.empty() ? " none" : text;
}

struct CountsAt {
    DWORD handles = 0;
    DWORD threads = 0;
};

// The bridge program, its echo server and the checker, for one soak run.
class SoakSession {
public:
    explicit SoakSession(std::uint64_t seed)
        : seed_(seed), pipe_(UniqueTestPipeName("soak")),
          server_(pipe_, {L"--mode", L"echo-cut", L"--instances", L"96"}), allowlist_({pipe_}),
          session_(BridgeArguments(allowlist_, pipe_)), child_(&session_.Child()), checker_(ledger_, figures_) {}

    ~SoakSession() {
        // On a failed run the program may still be busy: end it so that nothing outlives the test.
        if (child_->Wait(0) == STILL_ACTIVE) ::TerminateProcess(child_->Process(), 99);
    }

    // Runs the 64 slots until each has had `quota` bytes echoed and every stream is sealed.
    bool RunPhase(std::uint64_t quota, const char* name) {
        {
            std::lock_guard<std::mutex> lock(ledger_.mutex);
            ledger_.writerDone = false;
        }
        Writer writer(*child_, ledger_, seed_, quota, pingSeq_, figures_.stdinWrites);
        std::thread thread([&writer] { writer.Run(); });
        auto lastOutput = Clock::now();
        auto lastReport = Clock::now();
        auto lastSample = Clock::now();
        for (;;) {
            const std::string out = child_->TakeOutput(500);
            if (!out.empty()) {
                checker_.Feed(out);
                lastOutput = Clock::now();
            }
            {
                std::lock_guard<std::mutex> lock(ledger_.mutex);
                if (ledger_.stop) break;
                if (ledger_.writerDone && ledger_.lastPong >= ledger_.finalPing) break;
            }
            if (out.empty() && child_->OutputEnded()) {
                ledger_.Fail(std::string("standard output ended during the ") + name);
                break;
            }
            if (Clock::now() - lastOutput > kStallLimit) {
                ledger_.Fail(std::string("no output for 60 s during the ") + name + "; open streams:" +
                             LiveStreams(ledger_));
                break;
            }
            if (Clock::now() - lastSample > std::chrono::seconds(10)) {
                lastSample = Clock::now();
                figures_.peakHandles = std::max(figures_.peakHandles, ProcessHandleCount(child_->Process()));
                figures_.peakThreads = std::max(figures_.peakThreads, ProcessThreadCount(child_->Id()));
            }
            if (Clock::now() - lastReport > std::chrono::seconds(60)) {
                lastReport = Clock::now();
                std::printf("soak (%s): %llu streams checked, %llu bytes sent, %llu echoed so far\n", name,
                            static_cast<unsigned long long>(figures_.streams),
                            static_cast<unsigned long long>(figures_.bytesSent),
                            static_cast<unsigned long long>(figures_.bytesEchoed));
                std::fflush(stdout);
            }
        }
        if (ledger_.Stopped()) {
            // A writer blocked on a full standard input returns once the program is gone.
            ::TerminateProcess(child_->Process(), 99);
        }
        thread.join();
        return !ledger_.Stopped();
    }

    // Polls (bounded) until the counts equal `target`, or are stable when `target` is empty.
    CountsAt Settle(std::optional<CountsAt> target) {
        const auto giveUp = Clock::now() + std::chrono::seconds(10);
        CountsAt last{ProcessHandleCount(child_->Process()), ProcessThreadCount(child_->Id())};
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const CountsAt now{ProcessHandleCount(child_->Process()), ProcessThreadCount(child_->Id())};
            const CountsAt& want = target ? *target : last;
            if ((now.handles == want.handles && now.threads == want.threads) || Clock::now() > giveUp) return now;
            last = now;
        }
    }

    ChildProcess& Child() { return *child_; }
    Ledger& Books() { return ledger_; }
    Checker& Check() { return checker_; }
    Figures& Totals() { return figures_; }

private:
    std::uint64_t seed_;
    std::string pipe_;
    TestPipeServer server_;
    AllowlistFile allowlist_;
    ProductSession session_;
    ChildProcess* child_;
    Ledger ledger_;
    Figures figures_;
    Checker checker_;
    std::uint64_t pingSeq_ = 0;
};

}  // namespace

// 64 streams at a time through the real program; every byte and frame checked,
// nothing leaked, and a clean exit at the end of standard input.
TEST(Soak, SixtyFourStreamsCarryEveryByteThroughCutsAndEarlyEnds) {
    const std::uint64_t seed = EnvironmentNumber("QSB_SOAK_SEED", kDefaultSeed);
    const std::uint64_t perSlot = EnvironmentNumber("QSB_SOAK_MIB_PER_STREAM", 4) * kMiB;
    std::printf("soak: seed 0x%llx (replay with QSB_SOAK_SEED=0x%llx), %llu MiB per stream slot, %zu slots\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(perSlot / kMiB), kSlots);
    std::fflush(stdout);
    const auto started = Clock::now();

    SoakSession session(seed);
    // The warm-up runs 64 streams at once with 64 MiB in all, so that every
    // lazily made piece of process state exists before the baseline is taken:
    // the C++ runtime's mutexes (winpthreads) make their kernel event on their
    // first contention, and keep it for their lifetime.
    const bool warmed = session.RunPhase(kMiB, "warm-up");
    const CountsAt baseline = warmed ? session.Settle(std::nullopt) : CountsAt{};
    const Figures warmFigures = session.Totals();
    const auto mainStarted = Clock::now();
    const bool ran = warmed && session.RunPhase(perSlot, "soak");
    const double seconds = std::chrono::duration<double>(Clock::now() - mainStarted).count();
    const CountsAt end = ran ? session.Settle(baseline) : CountsAt{};

    if (ran) {
        session.Child().CloseInput();
        const DWORD exitCode = session.Child().Wait(kWaitMs);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_EQ(session.Child().Errors(), "");
        // Whatever came after the last Pong must still parse, and cannot belong to any stream.
        session.Check().Feed(session.Child().TakeAllOutput());
        session.Check().AtEnd();
        EXPECT_EQ(end.handles, baseline.handles) << "handles after the soak";
        EXPECT_EQ(end.threads, baseline.threads) << "threads after the soak";
    }

    const Figures& f = session.Totals();
    const auto mib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / kMiB; };
    std::printf("soak: %llu streams (%llu complete, %llu close-mid-data, %llu eof-then-drain, %llu eof-then-data); "
                "ended by the server %llu, closed by the program %llu, closed by the client %llu\n",
                static_cast<unsigned long long>(f.streams), static_cast<unsigned long long>(f.fates.count(Fate::Complete) ? f.fates.at(Fate::Complete) : 0),
                static_cast<unsigned long long>(f.fates.count(Fate::CloseMidData) ? f.fates.at(Fate::CloseMidData) : 0),
                static_cast<unsigned long long>(f.fates.count(Fate::EofThenDrain) ? f.fates.at(Fate::EofThenDrain) : 0),
                static_cast<unsigned long long>(f.fates.count(Fate::EofThenData) ? f.fates.at(Fate::EofThenData) : 0),
                static_cast<unsigned long long>(f.endedByServer), static_cast<unsigned long long>(f.closedByProgram),
                static_cast<unsigned long long>(f.closedByClient));
    std::printf("soak: after warm-up %.1f MiB to the program, %.1f MiB echoed in %.1f s (%.1f MiB/s each way); "
                "%llu Data frames received and %llu stdin writes in all, %llu SHA-256 mismatches\n",
                mib(f.bytesSent - warmFigures.bytesSent), mib(f.bytesEchoed - warmFigures.bytesEchoed), seconds,
                mib(f.bytesEchoed - warmFigures.bytesEchoed) / (seconds > 0 ? seconds : 1),
                static_cast<unsigned long long>(f.dataFramesIn), static_cast<unsigned long long>(f.stdinWrites),
                static_cast<unsigned long long>(f.mismatches));
    std::printf("soak: handles %lu at baseline, %lu at the end (peak %lu); threads %lu at baseline, %lu at the end "
                "(peak %lu); %.1f s in all\n",
                static_cast<unsigned long>(baseline.handles), static_cast<unsigned long>(end.handles),
                static_cast<unsigned long>(f.peakHandles), static_cast<unsigned long>(baseline.threads),
                static_cast<unsigned long>(end.threads), static_cast<unsigned long>(f.peakThreads),
                std::chrono::duration<double>(Clock::now() - started).count());
    std::fflush(stdout);

    std::vector<std::string> failures;
    {
        std::lock_guard<std::mutex> lock(session.Books().mutex);
        failures = session.Books().failures;
    }
    for (const std::string& failure : failures) ADD_FAILURE() << failure << " [seed 0x" << std::hex << seed << "]";
    EXPECT_TRUE(warmed && ran) << "seed 0x" << std::hex << seed;
    EXPECT_EQ(f.mismatches, 0u);
    EXPECT_GE(f.bytesSent - warmFigures.bytesSent, kSlots * perSlot);
    EXPECT_GE(f.bytesEchoed - warmFigures.bytesEchoed, kSlots * perSlot);
}
