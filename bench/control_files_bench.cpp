// What one allowlist check and one activation load cost in parsing alone,
// for the largest files allowed. Service mode repeats the allowlist check for
// every watch on every pass of its loop, so this bounds its CPU per watch.

#include <benchmark/benchmark.h>

#include <string>

#include "activation/activation_registrations.h"
#include "allowlist/allowlist.h"
#include "pipes/pipe_path.h"

namespace {

// A 64 KiB allowlist whose only match is its last line.
std::string FullAllowlist(const std::string& last) {
    std::string content;
    for (int i = 0; content.size() + 64 < kAllowlistSizeLimit - last.size(); ++i) {
        content += "\\\\.\\pipe\\Vendor.Product-" + std::to_string(i) + "\r\n";
    }
    return content + last;
}

void BM_AllowlistLastLineOf64KiB(benchmark::State& state) {
    const std::string request = "\\\\.\\pipe\\app.s-1-5-21-1-2-3-1001";
    const std::string content = FullAllowlist(request);
    for (auto _ : state) benchmark::DoNotOptimize(FindAllowlistEntry(content, request));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_AllowlistLastLineOf64KiB);

void BM_CanonicalPipeSid(benchmark::State& state) {
    const std::string path = "\\\\.\\pipe\\org.quorltholm.quorltholm.s-1-5-21-1004336348-1177238915-682003330-512";
    for (auto _ : state) benchmark::DoNotOptimize(CanonicalPipeSid(path));
}
BENCHMARK(BM_CanonicalPipeSid);

void BM_ActivationTableOf1MiB(benchmark::State& state) {
    std::string content;
    for (int i = 0; content.size() + 80 < kActivationSizeLimit; ++i) {
        content += "\\\\.\\pipe\\vendor.product-" + std::to_string(i) + "\t\\Vendor\\Start product " +
                   std::to_string(i) + "\n";
    }
    for (auto _ : state) benchmark::DoNotOptimize(ParseActivationRegistrations(content).size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_ActivationTableOf1MiB);

}  // namespace

BENCHMARK_MAIN();
