// The input is a byte stream as standard input would carry it. Fed to a
// FrameBuffer whole, and again cut at every chunk size the reader or a pipe can
// produce (1, 10, 100 bytes, 1, 32, 64, 128 and 256 KiB, and a cutting drawn
// from the input itself), it must yield exactly the frames and the final status
// that the tests' own reading of the wire format (tests/support/wire.h) finds.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frame.h"
#include "support/wire.h"

namespace {

constexpr std::uint32_t kPayloadLimit = 1048576;
constexpr std::size_t kHeader = 16;
constexpr std::size_t kBufferLimit = 4194304;

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

struct Frame {
    std::uint32_t type;
    std::uint32_t streamId;
    std::size_t offset;  // of the payload in the input
    std::uint32_t length;
    bool operator==(const Frame&) const = default;
};

struct Outcome {
    std::vector<Frame> frames;
    ParseStatus end = ParseStatus::NeedMore;
    std::size_t pending = 0;  // meaningful when `end` is NeedMore
};

// ParseWire's frames, then the status of the header it stopped at: magic,
// version, type, length, judged in that order as soon as 16 bytes are there.
Outcome Decode(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Outcome out;
    std::size_t at = 0;
    for (;;) {
        if (size - at < kHeader) break;
        const std::string header = bytes.substr(at, kHeader);
        const std::uint32_t type = WireWord(header, 4) >> 16;
        if (header.compare(0, 4, "QSF1") != 0) out.end = ParseStatus::BadMagic;
        else if ((WireWord(header, 4) & 0xFFFF) != 1) out.end = ParseStatus::BadVersion;
        else if (type < 1 || type > 15) out.end = ParseStatus::BadType;
        else if (WireWord(header, 12) > kPayloadLimit) out.end = ParseStatus::TooLong;
        if (out.end != ParseStatus::NeedMore) return out;
        std::size_t rest = 0;
        const std::vector<WireFrame> one = ParseWire(bytes.substr(at, kHeader + WireWord(header, 12)), &rest);
        if (one.empty()) break;
        out.frames.push_back(
            {one[0].type, one[0].streamId, at + kHeader, static_cast<std::uint32_t>(one[0].payload.size())});
        at += kHeader + one[0].payload.size();
    }
    out.pending = size - at;
    return out;
}

// Cuts every complete frame the buffer holds, as the engine loop does, and
// holds each against the reference's frame at its place. Each view must point
// at the very bytes of the input it stands for.
void Drain(FrameBuffer& buffer, const std::uint8_t* data, const Outcome& reference, std::size_t& cut,
           std::size_t& consumed, ParseStatus& status) {
    FrameView view;
    while ((status = buffer.ParseFrame(view)) == ParseStatus::Ok) {
        Require(cut < reference.frames.size());
        const Frame& expected = reference.frames[cut];
        Require(view.type == expected.type && view.streamId == expected.streamId && view.length == expected.length);
        Require(consumed + kHeader == expected.offset);
        Require((view.payload == nullptr) == (view.length == 0));
        if (view.length != 0) Require(std::memcmp(view.payload, data + expected.offset, view.length) == 0);
        // A pending frame is handed out again unchanged.
        FrameView again;
        Require(buffer.ParseFrame(again) == ParseStatus::Ok);
        Require(again.type == view.type && again.streamId == view.streamId && again.payload == view.payload &&
                again.length == view.length);
        ++cut;
        consumed += kHeader + view.length;
        buffer.ConsumeFrame();
    }
}

// Feeds the input in pieces of the sizes `next` gives, stopping at the first
// status that is neither Ok nor NeedMore, as the engine does; the frames, the
// final status and the bytes left must be the reference's.
template <typename NextChunk>
void Feed(const std::uint8_t* data, std::size_t size, const Outcome& reference, NextChunk next) {
    FrameBuffer buffer;
    ParseStatus status = ParseStatus::NeedMore;
    std::size_t at = 0;
    std::size_t cut = 0;       // frames cut so far
    std::size_t consumed = 0;  // bytes of those frames
    while (at < size && status == ParseStatus::NeedMore) {
        std::size_t piece = next();
        if (piece > size - at) piece = size - at;
        Require(buffer.AppendInput(data + at, piece));
        at += piece;
        Require(buffer.PendingBytes() == at - consumed);
        Require(buffer.Capacity() >= buffer.PendingBytes());
        Drain(buffer, data, reference, cut, consumed, status);
    }
    Require(status == reference.end && cut == reference.frames.size());
    if (status == ParseStatus::NeedMore) Require(buffer.PendingBytes() == reference.pending);
    // An append past 4 MiB is refused before a byte is read; the count alone
    // decides, so a short source is never touched.
    const std::size_t held = buffer.PendingBytes();
    std::uint8_t one = 0;
    Require(!buffer.AppendInput(&one, kBufferLimit - held + 1));
    Require(buffer.PendingBytes() == held);
}

void CheckCuttings(const std::uint8_t* data, std::size_t size) {
    const Outcome reference = Decode(data, size);
    Feed(data, size, reference, [size] { return size; });
    static const std::size_t kChunks[] = {1, 10, 100, 1024, 32768, 65536, 131072, 262144};
    for (const std::size_t chunk : kChunks) {
        if (chunk >= size && chunk != 1) break;  // the same as the whole input from here on
        // Cuts deep inside a long payload all take the same path; more than
        // 16384 pieces would only slow the search down.
        if (size / chunk > 16384) continue;
        Feed(data, size, reference, [chunk] { return chunk; });
    }
    // Mixed sizes, small and large, drawn from the input's own bytes.
    std::size_t i = 0;
    Feed(data, size, reference, [&] {
        const std::uint8_t b = data[i++ % size];
        return static_cast<std::size_t>(1 + (b & 0x3F) * (b & 0x40 ? 997 : 1));
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != 0) CheckCuttings(data, size);
    return 0;
}
