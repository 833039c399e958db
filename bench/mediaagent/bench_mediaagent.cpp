// The media agent's item index on the benchmark catalogue: one full and five incremental jobs each
// changing a fifth of the files, 10,000 (10M) or 817 (1M) leaf directories of 490 files under a
// three-level tree, plus one directory of 100,000 files. Four browse reads through CItemIndex, each
// against the same answer from a straightforward SQL query over the same file (newest version per name
// by a window function, OFFSET for the page). And the whole of the agent's own work on a super-browse
// request for each (its XML read, a kept index connection lent, the answer planned, built and written
// as XML, everything but the sockets) against the read alone. The catalogue is generated once into the
// build folder and reused; MEDIAAGENT_BENCH_SCALE=10M selects the larger one (1M by default).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/support/catalogue.h"
#include "bench/support/ratio.h"
#include "platform/hubdb/hubdbseed.h"
#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/itemindexbuilder.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace {

namespace fs = std::filesystem;
using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;

struct TCatalogue {
    std::string label;
    mediaagent::TIndexScale scale;
    std::string indexPath;
    int appId = 0;
    int64_t pointInTime = 0;  // during the fourth job's day
    std::unique_ptr<mediaagent::CItemIndex> index;
    sqlite3* raw = nullptr;
};

bool seedHub(const std::string& path) {
    hubdb::HubDbSeed seed(path);
    seed.begin();
    hubbench::seedCatalogueRows(seed, "benchagent", "9.0");
    seed.commit();
    return seed.ok();
}
TCatalogue& catalogue() {
    static TCatalogue c = [] {
        TCatalogue c;
        const hubbench::TCatalogueScale scale = hubbench::catalogueScale();
        c.label = scale.label;
        c.scale = scale.scale;
        const fs::path folder = fs::canonical("/proc/self/exe").parent_path() / ("catalogue-" + c.label);
        fs::create_directories(folder);
        const std::string hub = (folder / "hub.db").string();
        c.indexPath = (folder / "items.db").string();
        if (!fs::exists(hub) && !seedHub(hub)) std::fprintf(stderr, "cannot seed %s\n", hub.c_str());
        mediaagent::TAgentPlan plan;
        std::string error;
        if (!mediaagent::loadAgentPlan(hub, "benchagent", plan, error) || plan.subclients.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        c.appId = plan.subclients.front().appId;
        c.pointInTime = hubbench::kCataloguePointInTime;
        if (!mediaagent::itemIndexIsCurrent(c.indexPath, plan, c.scale)) {
            mediaagent::TBuildStats stats;
            if (!mediaagent::buildItemIndex(c.indexPath, plan, c.scale, error, &stats)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                std::exit(1);
            }
            std::printf("catalogue %s: %lld entries, %lld versions generated in %.1f s (%s, %.0f MB)\n",
                        c.label.c_str(), static_cast<long long>(stats.entries),
                        static_cast<long long>(stats.versions), stats.seconds, c.indexPath.c_str(),
                        static_cast<double>(fs::file_size(c.indexPath)) / 1e6);
        } else {
            std::printf("catalogue %s: reusing %s\n", c.label.c_str(), c.indexPath.c_str());
        }
        c.index = mediaagent::CItemIndex::open(c.indexPath, error);
        sqlite3_open_v2(c.indexPath.c_str(), &c.raw, SQLITE_OPEN_READONLY, nullptr);
        return c;
    }();
    return c;
}

using Browse = hubbench::TCatalogueBrowse;
using hubbench::kDeepPage;
using hubbench::kFileVersions;
using hubbench::kFirstPage;
using hubbench::kTopOfTree;

// The file of the versions browse is named by BM_Index; the plain query takes its directory.
TBrowseQuery browseQuery(Browse b) {
    return hubbench::catalogueBrowseQuery(b, catalogue().appId, "/d01/d01/d01");
}

// The query of the benchmark's browse; the versions browse names the file of the first page's directory
// at its first place, whatever the scale. False (the benchmark skipped) when that directory is empty.
bool indexQuery(benchmark::State& state, TBrowseQuery& q) {
    const Browse b = static_cast<Browse>(state.range(0));
    q = browseQuery(b);
    if (b != kFileVersions) return true;
    std::vector<TItemVersion> first;
    bool found = false;
    TBrowseQuery dir = browseQuery(kFirstPage);
    dir.pageSize = 1;
    catalogue().index->listAt(dir, first, found);
    if (first.empty()) {
        state.SkipWithError("the directory of the first page is empty");
        return false;
    }
    q.path = first.front().path;
    return true;
}

void BM_Index(benchmark::State& state) {
    const Browse b = static_cast<Browse>(state.range(0));
    TCatalogue& c = catalogue();
    TBrowseQuery q;
    if (!indexQuery(state, q)) return;
    std::vector<TItemVersion> out;
    size_t items = 0;
    for (auto _ : state) {
        bool found = false;
        const bool ok =
            b == kFileVersions ? c.index->listRange(q, out, found) : c.index->listAt(q, out, found);
        if (!ok || !found || out.empty()) {
            state.SkipWithError("the browse found nothing");
            break;
        }
        items = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["items"] = static_cast<double>(items);
}

// The same answer by a straightforward query: every version of the directory's children in the window,
// the newest per name by a window function, deletions dropped, then LIMIT/OFFSET.
void BM_PlainSql(benchmark::State& state) {
    const Browse b = static_cast<Browse>(state.range(0));
    TCatalogue& c = catalogue();
    const TBrowseQuery q = browseQuery(b == kFileVersions ? kFirstPage : b);
    TItemVersion dir;
    bool found = false;
    c.index->resolve(c.appId, q.path, dir, found);
    sqlite3_stmt* s = nullptr;
    const char* sql = b == kFileVersions ? "SELECT e.name, i.btime, i.flags, i.size, i.mtime, i.afile, "
                                           "i.offset FROM entries e JOIN items i ON "
                                           "i.entry = e.id WHERE e.parent = ?1 AND e.name = (SELECT "
                                           "MIN(name) FROM entries WHERE parent = ?1) "
                                           "ORDER BY i.btime"
                                         : "SELECT name, btime, flags, size, mtime, afile, offset FROM "
                                           "(SELECT e.name, i.btime, i.flags, i.size, "
                                           "i.mtime, i.afile, i.offset, ROW_NUMBER() OVER (PARTITION BY e.id "
                                           "ORDER BY i.btime DESC) AS rn FROM "
                                           "entries e JOIN items i ON i.entry = e.id WHERE e.parent = ?1 AND "
                                           "i.btime <= ?2) WHERE rn = 1 AND "
                                           "(flags & 2) = 0 ORDER BY name LIMIT ?3 OFFSET ?4";
    if (sqlite3_prepare_v2(c.raw, sql, -1, &s, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(c.raw));
        return;
    }
    size_t items = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(s, 1, dir.entry);
        sqlite3_bind_int64(s, 2, q.toTime);
        sqlite3_bind_int64(s, 3, q.pageSize);
        sqlite3_bind_int64(s, 4, q.skip);
        items = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_text(s, 0));
            ++items;
        }
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    state.counters["items"] = static_cast<double>(items);
}

// The request a Hubmaster sends for a browse: its subclient's cycle, the path, the point in time or
// (for the versions) the range, and the page as a data query.
std::string requestXml(const TBrowseQuery& q, bool versions) {
    using R = Indexing::BrowseReq::f;
    Indexing::BrowseReq r;
    r.setstring(R::workerId, "9796");
    r.setstring(R::browseSessionGuid, "1796670118-9796");
    r.setstring(R::hubmasterHost, "127.0.0.1*benchhub*0*35411");
    r.setstring(R::routerName, "BrowseRouter");
    r.setint64(R::options, versions ? static_cast<int64_t>(mediaagent::kOptionVersions) : 0);
    r.setint64(R::toTime, q.toTime);
    r.setint64(R::fromTime, versions ? 1 : 0);
    Indexing::BackupCycle cycle;
    cycle.setint64(Indexing::BackupCycle::f::appId, q.appId);
    cycle.setint64(Indexing::BackupCycle::f::toTime, q.toTime);
    r.setlistobject(R::backupCycles, {cycle});
    r.setliststring(R::sourcePaths, {q.path});
    if (q.pageSize != 0) {
        databrowse::Query data;
        data.setstring(databrowse::Query::f::queryId, "data");
        CNMessageBase* paging = data.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                    ->getObjectAccessor(databrowse::DataParam::f::paging, true);
        paging->setint64(databrowse::Msg6::f::skipNode, q.skip);
        paging->setint64(databrowse::Msg6::f::pageSize, q.pageSize);
        r.setlistobject(R::queries, {data});
    }
    return messageXml(r);
}

void BM_Answer(benchmark::State& state) {
    const Browse b = static_cast<Browse>(state.range(0));
    TCatalogue& c = catalogue();
    TBrowseQuery q;
    if (!indexQuery(state, q)) return;
    const std::string xml = requestXml(q, b == kFileVersions);
    size_t items = 0;
    std::string out;
    for (auto _ : state) {
        Indexing::BrowseReq request;
        std::string why;
        mediaagent::TItemIndexLease index = mediaagent::lendItemIndex(c.indexPath, why);
        mediaagent::TIndexBrowsePlan plan;
        if (request.unserialize(xml) != 0 || !index ||
            !mediaagent::planIndexBrowse(request, *index, plan, why)) {
            state.SkipWithError(("the request was not planned: " + why).c_str());
            break;
        }
        items = 0;
        mediaagent::answerIndexBrowse(plan, *index, 1000, [&](databrowse::BrowseResponse& r) {
            out.clear();
            r.serialize(out);
            benchmark::DoNotOptimize(out.data());
            CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            auto* list =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            items += list ? list->size() : 0;
            return true;
        });
    }
    state.counters["items"] = static_cast<double>(items);
}

void arguments(benchmark::internal::Benchmark* b) {
    for (int k = 0; k < hubbench::kCatalogueBrowseCount; ++k) b->Arg(k);
    b->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_Index)->Apply(arguments);
BENCHMARK(BM_PlainSql)->Apply(arguments);
BENCHMARK(BM_Answer)->Apply(arguments);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    catalogue();
    std::vector<hubbench::RatioPair> pairs;
    // A page of a directory costs O(page) in the item index and beats the plain query; the directory of
    // directories and the versions of one file are tens of microseconds either way (information).
    for (int k = 0; k < hubbench::kCatalogueBrowseCount; ++k) {
        const bool paged =
            k == hubbench::kFirstPage || k == hubbench::kDeepPage || k == hubbench::kBigFirstPage;
        pairs.push_back({"BM_Index/" + std::to_string(k), "BM_PlainSql/" + std::to_string(k),
                         std::string(hubbench::kCatalogueBrowseNames[k]) + ": item index / plain SQL",
                         paged ? 1.0 : 0});
    }
    // What the agent adds to a read to answer it (information).
    for (int k = 0; k < hubbench::kCatalogueBrowseCount; ++k)
        pairs.push_back({"BM_Answer/" + std::to_string(k), "BM_Index/" + std::to_string(k),
                         std::string(hubbench::kCatalogueBrowseNames[k]) + ": whole answer / item index", 0,
                         0});
    hubbench::RatioReporter reporter(pairs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
