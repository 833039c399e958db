// Benchmark programs measure one job of the system against the raw library underneath; this reporter
// prints the usual table and then, for every pair, the system's time over the raw library's time. Used
// by every bench_* program's main, on the main thread.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace hubbench {

// One pair: `subject` (through our layer) over `baseline` (the raw library doing the same work).
struct RatioPair {
    std::string subject;  // benchmark name as reported, arguments included ("BM_Decode/1000")
    std::string baseline;
    std::string label;  // "row family / raw sqlite3_step"
    double goal = 0;    // printed as "(goal: within <goal>)" when set
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colour codes only on a terminal: redirected output (./dev bench | tee, CI logs) stays plain.
    explicit RatioReporter(std::vector<RatioPair> pairs)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), m_pairs(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.iterations <= 0) continue;
            // With repetitions the mean stands for the benchmark; otherwise its single run does.
            bool mean = r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean";
            if (r.run_type == Run::RT_Iteration || mean) {
                std::string name = mean ? r.run_name.str() : r.benchmark_name();
                m_seconds[name] = r.real_accumulated_time / static_cast<double>(r.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const RatioPair& p : m_pairs) {
            auto s = m_seconds.find(p.subject), b = m_seconds.find(p.baseline);
            if (s == m_seconds.end() || b == m_seconds.end() || b->second <= 0) continue;  // filtered out
            std::printf("ratio: %s = %.2f", p.label.c_str(), s->second / b->second);
            if (p.goal > 0) std::printf(" (goal: within %g)", p.goal);
            std::printf("\n");
        }
        std::fflush(stdout);
    }

private:
    std::vector<RatioPair> m_pairs;
    std::map<std::string, double> m_seconds;  // seconds per iteration, by benchmark name
};

// The whole main of a benchmark program whose pairs are `pairs`.
inline int runWithRatios(int argc, char** argv, std::vector<RatioPair> pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace hubbench
