// How long the engine's own frames and a small answer on a quiet stream wait
// for standard output while other streams send as fast as they can: the
// engine in bridge mode through its seam, with in-memory pipes and an output
// that costs a fixed time per frame (a slow link). Prints, for 0, 1 and 62
// busy streams, the median and p99 of three probes (Ping to Pong, Open to
// Opened, a 64-byte Data to its echo on another stream) and the busy streams'
// shares of the bytes written meanwhile (1.0 is a fair share):
//
//   output_fairness_bench [--frame-us 1000] [--probes 100]

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_loop.h"
#include "engine/frame.h"
#include "support/fake_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPipe = "\\\\.\\pipe\\bench.pipe";
constexpr std::uint32_t kEchoStream = 100;
constexpr auto kProbeLimit = std::chrono::seconds(30);

// Standard output over a slow link: each frame costs `cost` before its first
// byte is taken. Frames are cut as they come; the probes wait for the arrival
// of the one they expect, and each stream's Data bytes are counted.
class SlowOutput {
public:
    explicit SlowOutput(std::chrono::microseconds cost) : cost_(cost) {}

    std::size_t Write(const void* data, std::size_t size) {
        bool frameStart;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frameStart = frames_.PendingBytes() == 0;
        }
        // Only one writer at a time gets here (the output gate), so the cost
        // is paid while the gate is held, as a slow link would make it.
        if (frameStart) std::this_thread::sleep_for(cost_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!frames_.AppendInput(data, size)) std::abort();
        FrameView view;
        while (frames_.ParseFrame(view) == ParseStatus::Ok) {
            if (view.type == static_cast<std::uint32_t>(FrameType::Data)) bytes_[view.streamId] += view.length;
            const auto awaited = arrivals_.find({view.type, view.streamId});
            if (awaited != arrivals_.end() && !awaited->second) {
                awaited->second = Clock::now();
                changed_.notify_all();
            }
            frames_.ConsumeFrame();
        }
        return size;
    }

    // Arms the wait for the next frame of `type` on `id`.
    void Expect(FrameType type, std::uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_[{static_cast<std::uint32_t>(type), id}].reset();
    }

    // When the expected frame arrived; exits the benchmark if it never does.
    Clock::time_point Arrival(FrameType type, std::uint32_t id) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto& arrival = arrivals_[{static_cast<std::uint32_t>(type), id}];
        if (!changed_.wait_for(lock, kProbeLimit, [&] { return arrival.has_value(); })) {
            std::fprintf(stderr, "no frame of type %u on stream %u within %lld s\n", static_cast<unsigned>(type), id,
                         static_cast<long long>(kProbeLimit.count()));
            std::exit(1);
        }
        return *arrival;
    }

    std::map<std::uint32_t, std::uint64_t> Bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    const std::chrono::microseconds cost_;
    std::mutex mutex_;
    std::condition_variable changed_;
    FrameBuffer frames_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::optional<Clock::time_point>> arrivals_;
    std::map<std::uint32_t, std::uint64_t> bytes_;
};

struct Figures {
    double median = 0;
    double p99 = 0;
};

Figures Summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
    return {at(0.5), at(0.99)};
}

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void Measure(std::uint32_t busy, std::chrono::microseconds cost, int probes) {
    FakeEngine engine;
    engine.List(kPipe);
    std::vector<std::shared_ptr<FakeServedPipe>> flooding;
    for (std::uint32_t i = 0; i < busy; ++i) {
        flooding.push_back(engine.AddServedPipe(""));
        flooding.back()->Flood(std::string(kPumpReadSize, 'b'));
    }
    engine.AddServedPipe("")->Echo();

    SlowOutput output(cost);
    EnginePlatform platform = engine.Platform();
    platform.output.write = [&output](const void* data, std::size_t size) { return output.Write(data, size); };
    const WideString allowlist = u"C:\\allow\\http-pipe.allow";
    output.Expect(FrameType::Hello, 0);
    auto run = std::async(std::launch::async, [&] {
        try {
            RunStreamEngine(EngineMode::Bridge, kPipe, allowlist, platform);
            return std::string();
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
    });
    output.Arrival(FrameType::Hello, 0);

    std::string opens;
    for (std::uint32_t id = 1; id <= busy; ++id) opens += FrameBytes(2, id);
    output.Expect(FrameType::Opened, kEchoStream);
    engine.in.Push(opens + FrameBytes(2, kEchoStream));
    output.Arrival(FrameType::Opened, kEchoStream);

    const auto before = output.Bytes();
    std::vector<double> pong, opened, answer;
    for (int i = 0; i < probes; ++i) {
        const std::uint32_t pingId = 1000 + static_cast<std::uint32_t>(i);
        output.Expect(FrameType::Pong, pingId);
        auto sent = Clock::now();
        engine.in.Push(FrameBytes(8, pingId, "probe..."));
        pong.push_back(MillisecondsBetween(sent, output.Arrival(FrameType::Pong, pingId)));

        const std::uint32_t openId = 2000 + static_cast<std::uint32_t>(i);
        engine.AddServedPipe("");
        output.Expect(FrameType::Opened, openId);
        sent = Clock::now();
        engine.in.Push(FrameBytes(2, openId));
        opened.push_back(MillisecondsBetween(sent, output.Arrival(FrameType::Opened, openId)));
        engine.in.Push(FrameBytes(7, openId));

        output.Expect(FrameType::Data, kEchoStream);
        sent = Clock::now();
        engine.in.Push(FrameBytes(5, kEchoStream, std::string(64, 'q')));
        answer.push_back(MillisecondsBetween(sent, output.Arrival(FrameType::Data, kEchoStream)));
    }
    const auto after = output.Bytes();

    engine.in.End();
    if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "the engine did not end\n");
        std::exit(1);
    }
    const std::string ended = run.get();
    if (!ended.empty()) {
        std::fprintf(stderr, "the engine ended with: %s\n", ended.c_str());
        std::exit(1);
    }

    double least = 0;
    double most = 0;
    if (busy > 0) {
        std::vector<double> sent;
        double total = 0;
        for (std::uint32_t id = 1; id <= busy; ++id) {
            const auto was = before.find(id);
            const auto is = after.find(id);
            const double bytes =
                static_cast<double>((is == after.end() ? 0 : is->second) - (was == before.end() ? 0 : was->second));
            sent.push_back(bytes);
            total += bytes;
        }
        const double fair = total / busy;
        least = *std::min_element(sent.begin(), sent.end()) / fair;
        most = *std::max_element(sent.begin(), sent.end()) / fair;
    }
    const Figures p = Summarise(pong);
    const Figures o = Summarise(opened);
    const Figures a = Summarise(answer);
    std::printf("output-fairness busy=%u frame_us=%lld probes=%d pong_ms=%.2f/%.2f opened_ms=%.2f/%.2f "
                "answer64_ms=%.2f/%.2f busy_share_min=%.2f max=%.2f\n",
                busy, static_cast<long long>(cost.count()), probes, p.median, p.p99, o.median, o.p99, a.median, a.p99,
                least, most);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    long long frameUs = 1000;
    int probes = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frame-us") == 0) frameUs = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--probes") == 0) probes = std::atoi(argv[i + 1]);
    }
    std::printf("(median/p99 of each probe, from the request on standard input to the answer's arrival)\n");
    for (std::uint32_t busy : {0u, 1u, 62u}) Measure(busy, std::chrono::microseconds(frameUs), probes);
    return 0;
}
