// Random bytes in random chunk sizes must cut the same frames, and end in the
// same status, as the same bytes given at once; nothing may read out of bounds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/frame.h"

namespace {

struct Outcome {
    std::vector<std::string> frames;  // type, stream ID and payload, flattened
    ParseStatus last = ParseStatus::NeedMore;
    std::size_t pending = 0;
};

void Drain(FrameBuffer& buffer, Outcome& out) {
    FrameView view;
    while ((out.last = buffer.ParseFrame(view)) == ParseStatus::Ok) {
        std::string flat = std::to_string(view.type) + ":" + std::to_string(view.streamId) + ":";
        if (view.length != 0) flat.append(reinterpret_cast<const char*>(view.payload), view.length);
        if ((view.payload == nullptr) != (view.length == 0)) std::abort();
        out.frames.push_back(std::move(flat));
        buffer.ConsumeFrame();
    }
}

Outcome Feed(const std::uint8_t* data, std::size_t size, const std::uint8_t* cuts, std::size_t cutCount) {
    FrameBuffer buffer;
    Outcome out;
    std::size_t at = 0;
    std::size_t next = 0;
    while (at < size && out.last == ParseStatus::NeedMore) {
        std::size_t piece = cutCount == 0 ? size : 1 + cuts[next++ % cutCount] % 64;
        if (piece > size - at) piece = size - at;
        if (!buffer.AppendInput(data + at, piece)) std::abort();
        at += piece;
        Drain(buffer, out);
    }
    out.pending = buffer.PendingBytes();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte says how many of the following bytes choose chunk sizes.
    const std::size_t cutCount = data[0] % 16 < size - 1 ? data[0] % 16 : size - 1;
    const std::uint8_t* cuts = data + 1;
    const std::uint8_t* input = data + 1 + cutCount;
    const std::size_t inputSize = size - 1 - cutCount;

    const Outcome whole = Feed(input, inputSize, cuts, 0);
    const Outcome pieces = Feed(input, inputSize, cuts, cutCount);
    if (whole.frames != pieces.frames || whole.last != pieces.last) std::abort();
    if (whole.last == ParseStatus::NeedMore && whole.pending != pieces.pending) std::abort();
    return 0;
}
