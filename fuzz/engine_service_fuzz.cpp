// Random frame streams fed to the engine in service mode, through in-memory
// standard streams: the run must end (normally or with a message), never
// crash, and leave only whole frames on standard output.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "engine/engine_loop.h"

namespace {

struct Output {
    std::mutex mutex;
    std::string bytes;
};

bool OnlyWholeFrames(const std::string& bytes) {
    FrameBuffer buffer;
    if (!buffer.AppendInput(bytes.data(), bytes.size())) return false;
    FrameView view;
    ParseStatus status;
    while ((status = buffer.ParseFrame(view)) == ParseStatus::Ok) buffer.ConsumeFrame();
    return status == ParseStatus::NeedMore && buffer.PendingBytes() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 200000) return 0;
    // Reads hand out the input in pieces whose sizes come from the input itself.
    auto input = std::make_shared<std::string>(reinterpret_cast<const char*>(data), size);
    auto offset = std::make_shared<std::atomic<std::size_t>>(0);
    auto output = std::make_shared<Output>();
    auto clock = std::make_shared<std::atomic<std::uint64_t>>(0);

    EnginePlatform platform;
    platform.input.read = [input, offset](void* buffer, std::size_t room) -> std::size_t {
        const std::size_t at = offset->load();
        if (at >= input->size()) return 0;
        std::size_t piece = 1 + static_cast<unsigned char>((*input)[at]) * 7;
        if (piece > room) piece = room;
        if (piece > input->size() - at) piece = input->size() - at;
        std::memcpy(buffer, input->data() + at, piece);
        offset->store(at + piece);
        return piece;
    };
    platform.output = [output](const void* bytes, std::size_t count) -> std::size_t {
        std::lock_guard<std::mutex> lock(output->mutex);
        output->bytes.append(static_cast<const char*>(bytes), count);
        return count;
    };
    // Time moves a little with every look, so that long inputs can also meet the idle end.
    platform.tickCount = [clock] { return clock->fetch_add(997); };
    platform.inputWait = std::chrono::milliseconds(1);
    platform.requirePipeAllowlisted = [](std::string_view path, const WideString&) {
        if (path.size() % 3 == 0) throw std::runtime_error("This named pipe is not in the HTTP allowlist.");
    };
    platform.waitNamedPipe = [](std::string_view path) -> std::uint32_t {
        static const std::uint32_t results[] = {0, 2, 3, 121, 231, 5};
        return results[(path.size() + static_cast<unsigned char>(path.back())) % 6];
    };

    try {
        RunStreamEngine(EngineMode::Service, std::string(), u"allow", platform);
    } catch (const std::exception&) {
        // A fatal end with a message is a valid outcome.
    }
    std::lock_guard<std::mutex> lock(output->mutex);
    if (!OnlyWholeFrames(output->bytes)) std::abort();
    return 0;
}
