// The mixed load of a busy site over time: the demo world's host and media agents as processes and
// consoles of this process on every road (tests/support/process/mixedload.h), for MIXED_BENCH_SECONDS
// (300; the half-hour run before a release: 1800) with MIXED_BENCH_CONSOLES (32) consoles. Reports the
// commands answered a second and, against its goal of none, the commands whose connection failed (closed,
// refused or timed out) and those the service answered with an error it should not have; each kind's first
// errors are printed. The short run of the same load is a test of the suite (test_e2e_mixedload).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/process/mixedload.h"

namespace {

namespace fs = std::filesystem;

int envNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

void BM_MixedLoad(benchmark::State& state) {
    const int consoles = envNumber("MIXED_BENCH_CONSOLES", 32);
    const int seconds = envNumber("MIXED_BENCH_SECONDS", 300);
    const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    const fs::path folder = fs::temp_directory_path() / ("bench-mixedload-" + std::to_string(getpid()));
    for (auto _ : state) {
        hubtest::TMixedLoadOutcome outcome;
        {
            hubtest::CMixedLoad load(build, folder);
            std::string why;
            if (!load.ready(why)) {
                state.SkipWithError(why.c_str());
                break;
            }
            const auto start = std::chrono::steady_clock::now();
            outcome = load.run(consoles, 1LL << 60, start + std::chrono::seconds(seconds));
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            state.counters["commands"] = static_cast<double>(outcome.commands);
            std::printf(
                "figure: %d consoles on every road for %d s, commands answered a second = %.1f "
                "(information)\n",
                consoles, seconds, static_cast<double>(outcome.answered) / took);
        }
        std::printf(
            "figure: %d consoles on every road, commands whose connection failed = %lld (goal: within 0)\n",
            consoles, outcome.transportErrors);
        std::printf(
            "figure: %d consoles on every road, commands the service answered with an error = %lld "
            "(goal: within 0)\n",
            consoles, outcome.serviceErrors);
        for (const std::string& e : outcome.firstErrors) std::printf("  %s\n", e.c_str());
        std::fflush(stdout);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
}

BENCHMARK(BM_MixedLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
