// Cutting 32 KiB Data frames that arrive in 32 KiB chunks, beside a plain
// memcpy of the same bytes, and the heap allocations made per frame once the
// buffer has grown. Prints "frame-cutting: X.XX of memcpy".

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine/frame.h"

namespace {

std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_allocatedBytes{0};

constexpr std::size_t kPayload = 32768;
constexpr std::size_t kChunk = 32768;
constexpr std::size_t kFrames = 256;

std::vector<std::uint8_t> MakeStream() {
    std::vector<std::uint8_t> stream;
    for (std::size_t i = 0; i < kFrames; ++i) {
        FrameHeader header{};
        BuildFrameHeader(5, static_cast<std::uint32_t>(i + 1), kPayload, header);
        stream.insert(stream.end(), header.bytes, header.bytes + kFrameHeaderSize);
        stream.resize(stream.size() + kPayload, static_cast<std::uint8_t>(i));
    }
    return stream;
}

const std::vector<std::uint8_t>& Stream() {
    static const std::vector<std::uint8_t> stream = MakeStream();
    return stream;
}

// Returns the payload bytes seen, so that the work cannot be optimised away.
std::size_t CutStream(FrameBuffer& buffer, const std::vector<std::uint8_t>& stream) {
    std::size_t seen = 0;
    for (std::size_t at = 0; at < stream.size(); at += kChunk) {
        const std::size_t piece = stream.size() - at < kChunk ? stream.size() - at : kChunk;
        if (!buffer.AppendInput(stream.data() + at, piece)) std::abort();
        FrameView view;
        while (buffer.ParseFrame(view) == ParseStatus::Ok) {
            seen += view.length + view.payload[view.length - 1];
            buffer.ConsumeFrame();
        }
    }
    return seen;
}

void BM_FrameCutting(benchmark::State& state) {
    const auto& stream = Stream();
    FrameBuffer buffer;
    for (auto _ : state) benchmark::DoNotOptimize(CutStream(buffer, stream));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_Memcpy(benchmark::State& state) {
    const auto& stream = Stream();
    std::vector<std::uint8_t> target(kChunk);
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += kChunk) {
            const std::size_t piece = stream.size() - at < kChunk ? stream.size() - at : kChunk;
            std::memcpy(target.data(), stream.data() + at, piece);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

BENCHMARK(BM_FrameCutting);
BENCHMARK(BM_Memcpy);

// Collects each benchmark's throughput for the summary line.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end()) continue;
            if (run.benchmark_name().find("FrameCutting") != std::string::npos) cutting = it->second;
            if (run.benchmark_name().find("Memcpy") != std::string::npos) copying = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double cutting = 0;
    double copying = 0;
};

}  // namespace

// g++ cannot see that these replacements pair malloc with free on both sides.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Steady state: one warm-up pass grows the block, the measured passes must
    // not allocate at all.
    FrameBuffer buffer;
    CutStream(buffer, Stream());
    const std::size_t countBefore = g_allocations.load();
    const std::size_t bytesBefore = g_allocatedBytes.load();
    constexpr int kPasses = 8;
    for (int i = 0; i < kPasses; ++i) CutStream(buffer, Stream());
    const double frames = static_cast<double>(kPasses * kFrames);
    std::printf("frame-cutting: %.2f of memcpy\n", reporter.copying > 0 ? reporter.cutting / reporter.copying : 0.0);
    std::printf("frame-cutting allocations: %.2f per frame, %.2f bytes per frame (steady state)\n",
                static_cast<double>(g_allocations.load() - countBefore) / frames,
                static_cast<double>(g_allocatedBytes.load() - bytesBefore) / frames);
    benchmark::Shutdown();
    return 0;
}
