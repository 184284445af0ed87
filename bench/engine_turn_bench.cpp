// One turn of the service-mode loop with 64 watches, through in-memory
// allowlist checks and pipe waits: the engine's own cost per turn, without the
// operating system's. Prints "engine-turn-64-watches: X.X us".

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/engine_loop.h"

namespace {

struct Turn {
    EnginePlatform platform;
    std::shared_ptr<OutputGate> output =
        std::make_shared<OutputGate>(StandardOutput{[](const void*, std::size_t size) { return size; }, nullptr});
    WideString allowlist = u"allow";
    EngineState state{EngineMode::Service, std::string(), allowlist, platform, output};

    Turn() {
        platform.requirePipeAllowlisted = [](std::string_view path, const WideString&) {
            if (path.size() < 10) throw std::runtime_error("This named pipe is not in the HTTP allowlist.");
        };
        // Half the pipes flip state every turn, so half the watches write a frame.
        platform.waitNamedPipe = [flip = 0u](std::string_view path) mutable -> std::uint32_t {
            ++flip;
            return (path.back() % 2 == 0 && (flip / 64) % 2 == 0) ? 2 : 0;
        };
        for (std::uint32_t id = 1; id <= 64; ++id) {
            state.watches.emplace(id, WatchEntry{"\\\\.\\pipe\\watched-" + std::to_string(id), kNothingReported});
        }
    }
};

double g_nanosPerTurn = 0;

void BM_TurnWith64Watches(benchmark::State& bench) {
    Turn turn;
    for (auto _ : bench) {
        ReapFinishedStreams(turn.state);
        PollWatches(turn.state);
    }
    bench.SetItemsProcessed(bench.iterations());
}

BENCHMARK(BM_TurnWith64Watches);

class TurnReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0) g_nanosPerTurn = run.GetAdjustedRealTime();  // in the run's time unit (ns)
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TurnReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("engine-turn-64-watches: %.1f us\n", g_nanosPerTurn / 1000.0);
    benchmark::Shutdown();
    return 0;
}
