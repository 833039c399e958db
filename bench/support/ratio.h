// Benchmark programs measure one job of the system against the raw library underneath; this reporter
// prints the usual table and then, for every pair, the system's time over the raw library's time, with
// its goal or marked as information; for pairs that ask for it, the excess of the system over the raw
// library in milliseconds; and, when the benchmarks ran in repetitions, the min/median/max of both sides.
// Lower is better everywhere. Used by every bench_* program's main, on the main thread.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
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
    double goal = 0;    // the ratio to stay within; 0: the ratio is information only
    // An "excess:" line too (subject minus baseline, in ms): >0 its goal; 0 information; <0 none.
    double excessGoalMs = -1;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colour codes only on a terminal: redirected output (./dev bench | tee, CI logs) stays plain.
    explicit RatioReporter(std::vector<RatioPair> pairs)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), m_pairs(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.iterations <= 0 || r.error_occurred) continue;
            const double perIteration = r.real_accumulated_time / static_cast<double>(r.iterations);
            if (r.run_type == Run::RT_Iteration) {
                if (r.repetitions <= 1) m_seconds[pairName(r.benchmark_name())] = perIteration;
            } else {
                // With repetitions the median stands for the benchmark: one slow repetition on a busy
                // machine does not move it.
                const std::string name = pairName(r.run_name.str());
                m_spread[name][r.aggregate_name] = perIteration;
                if (r.aggregate_name == "median") m_seconds[name] = perIteration;
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
            if (p.goal > 0)
                std::printf(" (goal: within %g)\n", p.goal);
            else
                std::printf(" (information)\n");
            if (p.excessGoalMs >= 0) {
                std::string label = p.label;  // "ours / raw" reads "ours - raw"
                if (const size_t at = label.find(" / "); at != std::string::npos) label.replace(at, 3, " - ");
                std::printf("excess: %s = %.3f ms", label.c_str(), (s->second - b->second) * 1e3);
                if (p.excessGoalMs > 0)
                    std::printf(" (goal: within %g)\n", p.excessGoalMs);
                else
                    std::printf(" (information)\n");
            }
            const std::string subject = spread(p.subject), baseline = spread(p.baseline);
            if (!subject.empty() && !baseline.empty())
                std::printf("spread: %s = %s / %s ms (min/median/max over repetitions)\n", p.label.c_str(),
                            subject.c_str(), baseline.c_str());
        }
        std::fflush(stdout);
    }

private:
    // A name without the "repeats:<n>" part that repetitions set on a benchmark add to it.
    static std::string pairName(std::string name) {
        const size_t at = name.find("/repeats:");
        if (at != std::string::npos) {
            const size_t end = name.find('/', at + 1);
            name.erase(at, end == std::string::npos ? std::string::npos : end - at);
        }
        return name;
    }
    // "min/median/max" in milliseconds of a benchmark run with repetitions (repeatedWithSpread); "" else.
    std::string spread(const std::string& name) {
        auto it = m_spread.find(name);
        if (it == m_spread.end() || !it->second.count("min") || !it->second.count("max") ||
            !it->second.count("median"))
            return "";
        char text[96];
        std::snprintf(text, sizeof text, "%.3f/%.3f/%.3f", it->second["min"] * 1e3,
                      it->second["median"] * 1e3, it->second["max"] * 1e3);
        return text;
    }

    std::vector<RatioPair> m_pairs;
    std::map<std::string, double> m_seconds;  // seconds per iteration, by benchmark name
    std::map<std::string, std::map<std::string, double>> m_spread;  // aggregate name -> seconds per iteration
};

// Runs a latency benchmark five times and reports only its min, median and max (besides the library's
// mean and deviation), so that a pair's spread is printed and its median compared.
inline void repeatedWithSpread(benchmark::internal::Benchmark* b) {
    b->Repetitions(5)->ReportAggregatesOnly(true);
    b->ComputeStatistics("min",
                         [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
    b->ComputeStatistics("max",
                         [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

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
