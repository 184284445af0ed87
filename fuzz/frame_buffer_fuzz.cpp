// The input is a byte stream as standard input would carry it. Fed to a
// FrameBuffer whole, and again cut at every chunk size the reader or a pipe can
// produce (1, 10, 100 bytes, 1, 32, 64, 128 and 256 KiB, and a cutting drawn
// from the input itself), it must yield exactly the frames and the final status
// that a decoder written here from the wire format finds. The input also names
// headers to build: each must come out byte for byte as the format says and
// parse back to what was built, or be refused without a byte written.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frame.h"

namespace {

constexpr std::uint32_t kPayloadLimit = 1048576;
constexpr std::size_t kHeader = 16;
constexpr std::size_t kBufferLimit = 4194304;

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

std::uint32_t Le16(const std::uint8_t* at) { return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8); }

std::uint32_t Le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
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

// The wire format read straight off the bytes: magic, version, type, length,
// judged in that order as soon as 16 bytes are there.
Outcome Decode(const std::uint8_t* data, std::size_t size) {
    Outcome out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t left = size - at;
        if (left < kHeader) {
            out.pending = left;
            return out;
        }
        const std::uint8_t* h = data + at;
        if (std::memcmp(h, "QSF1", 4) != 0) out.end = ParseStatus::BadMagic;
        else if (Le16(h + 4) != 1) out.end = ParseStatus::BadVersion;
        else if (Le16(h + 6) < 1 || Le16(h + 6) > 15) out.end = ParseStatus::BadType;
        else if (Le32(h + 12) > kPayloadLimit) out.end = ParseStatus::TooLong;
        if (out.end != ParseStatus::NeedMore) return out;
        const std::uint32_t length = Le32(h + 12);
        if (left - kHeader < length) {
            out.pending = left;
            return out;
        }
        out.frames.push_back({Le16(h + 6), Le32(h + 8), at + kHeader, length});
        at += kHeader + length;
    }
}

bool IsDoubledCapacity(std::size_t capacity) {
    if (capacity == 0) return true;
    if (capacity < 4096 || capacity % 4096 != 0) return false;
    const std::size_t blocks = capacity / 4096;
    return (blocks & (blocks - 1)) == 0;
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
        Require(IsDoubledCapacity(buffer.Capacity()) && buffer.Capacity() >= buffer.PendingBytes());
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

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
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
    // Mixed sizes, small and large, from a generator seeded by the input.
    std::uint64_t state = Fnv1a(data, size);
    Feed(data, size, reference, [&state] {
        const std::uint64_t r = SplitMix(state);
        static const std::size_t kScales[] = {16, 1024, 65536, 300000};
        return static_cast<std::size_t>(1 + (r >> 8) % kScales[r & 3]);
    });
}

// A payload of the largest size, made once: bytes that differ from their
// neighbours, so a payload moved by a byte does not compare equal.
const std::uint8_t* Pattern() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> made(kPayloadLimit);
        for (std::size_t i = 0; i < made.size(); ++i) made[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        return made;
    }();
    return bytes.data();
}

// One header named by 12 input bytes: type, stream ID, length. The top two
// bits of the type and length words choose how the rest is read, so that the
// edges come up often: type 0..31, any 16-bit type, or a raw 32-bit one;
// length 0..4095, 1 MiB minus 0..3, 1 MiB plus 1..65536, or a raw one.
void CheckHeader(const std::uint8_t* record, bool first) {
    const std::uint32_t typeWord = Le32(record);
    const std::uint32_t streamId = Le32(record + 4);
    const std::uint32_t lengthWord = Le32(record + 8);
    std::uint32_t type = typeWord;
    if ((typeWord >> 30) == 0) type = typeWord & 0x1F;
    else if ((typeWord >> 30) == 1) type = typeWord & 0xFFFF;
    std::uint32_t length = lengthWord;
    if ((lengthWord >> 30) == 0) length = lengthWord & 0xFFF;
    else if ((lengthWord >> 30) == 1) length = kPayloadLimit - (lengthWord & 3);
    else if ((lengthWord >> 30) == 2) length = kPayloadLimit + 1 + (lengthWord & 0xFFFF);
    const bool valid = type >= 1 && type <= 15 && length <= kPayloadLimit;
    // A payload near 1 MiB is appended only for the first header, and only when
    // two more bits of its length word ask for it: a run stays fast.
    const bool withPayload = length <= 4096 || (first && (lengthWord & 0x30000000) == 0x30000000);

    FrameHeader header;
    std::memset(header.bytes, 0xA5, sizeof header.bytes);
    const bool built = BuildFrameHeader(type, streamId, length, header);
    Require(built == valid);

    std::uint8_t expected[kHeader] = {'Q', 'S', 'F', '1', 1, 0};
    expected[6] = static_cast<std::uint8_t>(type);
    expected[7] = static_cast<std::uint8_t>(type >> 8);
    for (int i = 0; i < 4; ++i) expected[8 + i] = static_cast<std::uint8_t>(streamId >> (8 * i));
    for (int i = 0; i < 4; ++i) expected[12 + i] = static_cast<std::uint8_t>(length >> (8 * i));

    if (!built) {
        for (const std::uint8_t byte : header.bytes) Require(byte == 0xA5);
        // The same header put on the wire by someone else is refused as soon
        // as its 16 bytes are there. Only a 16-bit type can be on the wire.
        if (type > 0xFFFF) return;
        FrameBuffer buffer;
        Require(buffer.AppendInput(expected, kHeader));
        FrameView view;
        const bool typeOk = type >= 1 && type <= 15;
        Require(buffer.ParseFrame(view) == (typeOk ? ParseStatus::TooLong : ParseStatus::BadType));
        return;
    }
    Require(std::memcmp(header.bytes, expected, kHeader) == 0);

    FrameBuffer buffer;
    Require(buffer.AppendInput(header.bytes, kHeader));
    FrameView view;
    if (length != 0) {
        Require(buffer.ParseFrame(view) == ParseStatus::NeedMore);
        if (!withPayload) return;
        const std::uint8_t* payload = Pattern();
        Require(buffer.AppendInput(payload, length));
        Require(buffer.ParseFrame(view) == ParseStatus::Ok);
        Require(view.payload != nullptr && std::memcmp(view.payload, payload, length) == 0);
    } else {
        Require(buffer.ParseFrame(view) == ParseStatus::Ok);
        Require(view.payload == nullptr);
    }
    Require(view.type == type && view.streamId == streamId && view.length == length);
    buffer.ConsumeFrame();
    Require(buffer.PendingBytes() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckCuttings(data, size);
    // Up to 16 headers from the start of the input.
    for (std::size_t i = 0; i < 16 && (i + 1) * 12 <= size; ++i) CheckHeader(data + i * 12, i == 0);
    return 0;
}
