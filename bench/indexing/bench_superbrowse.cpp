// Super browse through the whole chain on the media agent's benchmark catalogue (one full and five
// incremental jobs each changing a fifth of the files; 817 (1M) or 10,000 (10M) leaf directories of 490
// files under a three-level tree, plus one directory of 100,000 files): each browse entered at
// fastBrowseHMProcessRequestMultiEntity, planned, sent as an indexing-V1 request to the index service of
// a real media-agent process (release 11), answered from its item index through "BrowseRouter" into the
// task's return channel, until the end. Timed is what the caller waits for: from the entry to the end in
// its return channel; the answered items are decoded and checked afterwards, outside the time. Against the
// same answer read straight from the item index, as a ratio and as the excess in milliseconds (the fixed
// cost of a browse). The five browses: the first page of a directory, a page at offset 90,000 of the
// 100,000-entry directory, a directory of directories, every version of one file, the first page of the
// 100,000-entry directory. MEDIAAGENT_BENCH_SCALE=10M selects the larger catalogue (1M by default); it is
// generated once into the build folder and reused.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "bench/support/chainworld.h"

namespace {

using hubbench::catalogueChain;
using hubbench::chainBrowseQuery;
using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;

long long g_nextJob = 500000;

// Items (or versions) of one answer read straight from the item index.
size_t rawAnswer(const TBrowseQuery& q) {
    std::vector<TItemVersion> out;
    return hubbench::readCatalogueIndex(*catalogueChain().index, q, out) ? out.size() : 0;
}

// One browse through the chain, timed from the entry to the end reaching the return channel; the items
// recorded are counted (decoded) with the timer paused. 0 when the browse did not end.
size_t chainAnswer(benchmark::State& state, const TBrowseQuery& q, const std::string& pattern) {
    hubbench::TCatalogueChain& c = catalogueChain();
    const long long job = ++g_nextJob;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(job, destination);
    EvMultiEntityRestoreTask task;
    hubbench::fillCatalogueTask(task, job, c.user, c.client, c.backupSet, c.appId, 1, q);
    std::string extended(87, '0');
    extended[86] = '1';  // super browse over one cycle too
    task.setextendedOptions(extended.c_str());
    if (!pattern.empty()) task.setbrowseFindPattern(pattern.c_str());
    state.ResumeTiming();
    const bool ended =
        fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr) == 1 &&
        destination->waitForEnd(std::chrono::seconds(60));
    state.PauseTiming();
    size_t items = 0;
    if (ended) hubbench::forEachAnsweredItem(*destination, [&](const CNMessageBase&) { ++items; });
    EvReturnDestinations::unregisterDestination(job);
    return items;
}

void BM_Chain(benchmark::State& state) {
    const TBrowseQuery q = chainBrowseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0)));
    const std::string pattern = hubbench::catalogueFindPattern(q);
    const size_t expected = rawAnswer(q);
    size_t items = 0;
    for (auto _ : state) {
        state.PauseTiming();
        items = chainAnswer(state, q, pattern);
        state.ResumeTiming();
        if (items != expected || items == 0) {
            state.SkipWithError("the chain's answer differs from the item index's");
            break;
        }
    }
    state.counters["items"] = static_cast<double>(items);
}

void BM_IndexRead(benchmark::State& state) {
    hubbench::timeCatalogueIndexRead(
        state, *catalogueChain().index,
        chainBrowseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0))));
}

BENCHMARK(BM_Chain)->Apply(hubbench::catalogueBrowseRepeated);
BENCHMARK(BM_IndexRead)->Apply(hubbench::catalogueBrowseRepeated);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    catalogueChain();
    // The fixed cost of a browse (the excess over its raw read) has the goal; the ratio is information,
    // as the raw read of a small page is a few hundredths of a millisecond.
    hubbench::RatioReporter reporter(
        hubbench::catalogueRatioPairs("BM_Chain", "BM_IndexRead", "whole chain / item index", 0, 0.3));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    hubbench::stopCatalogueChain();
    return 0;
}
