// Classic fast-browse latency on the media agent's benchmark catalogue (one full and five incremental
// jobs each changing a fifth of the files; 817 (1M) or 10,000 (10M) leaf directories of 490 files under a
// three-level tree, plus one directory of 100,000 files): each browse entered at the controller's
// newRequest, sent by the worker's fastBrowse over the classic restore protocol to a real media-agent
// process of release 9.0 on loopback, its items converted into the task's return channel until the end.
// Against the same answer read straight from the item index. The four browses: the first page of a
// directory, a page at offset 90,000 of the 100,000-entry directory, a directory of directories, every
// version of one file. MEDIAAGENT_BENCH_SCALE=10M selects the larger catalogue (1M by default); it is
// generated once into the build folder and reused.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/support/cataloguechain.h"
#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/controllerthread.h"
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/itemindex.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

namespace fs = std::filesystem;
using hubbench::giveUp;
using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;

constexpr int kFirstJob = hubbench::kCatalogueFirstJob;
constexpr int kDay = hubbench::kCatalogueDay;
const char* const kAgent = "classicagent";
constexpr uint32_t kPagedFromFirst = 2 | (1 << 8);  // em function: a page, counted from the first item

struct TClassic {
    hubbench::TCatalogueScale scale;
    fs::path folder;
    int appId = 0, client = 0, backupSet = 0, user = 0;
    int64_t oldestBackup = 0;
    std::unique_ptr<mediaagent::CItemIndex> index;
    std::unique_ptr<hubtest::CChildProcess> agent;
    std::unique_ptr<CConfigurationMgr> cache;
    std::unique_ptr<CControllerThreadHM> controller;
    std::unique_ptr<ZyNetworkPoP> pool;
    std::string fileOfVersions;
    long long nextJob = 600000;
};

TClassic& classic() {
    static TClassic c = [] {
        TClassic c;
        c.scale = hubbench::catalogueScale();
        c.folder = fs::canonical("/proc/self/exe").parent_path() / ("classic-catalogue-" + c.scale.label);
        fs::create_directories(c.folder);
        const std::string hub = (c.folder / "hub.db").string();
        const std::string items = (c.folder / "items.db").string();
        EvDebugFileInstance::setLogDirectory(c.folder.string());
        ZYPlatformInfo::setRegistryPath((c.folder / "registry.ini").string());
        const hubbench::TCatalogueHub seeded = hubbench::seedCatalogueHub(hub, kAgent, "9.0");
        c.client = seeded.rows.client;
        c.backupSet = seeded.rows.backupSet;
        c.appId = seeded.rows.subclient;
        c.user = seeded.user;
        ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId", static_cast<unsigned long>(seeded.hub));
        hubbench::ensureCatalogueIndex(hub, kAgent, c.scale, items);
        std::string error;
        c.index = mediaagent::CItemIndex::open(items, error);
        if (!c.index) giveUp(error);
        std::vector<mediaagent::TIndexJob> jobs;
        if (!c.index->jobs(c.appId, jobs) || jobs.empty()) giveUp("the item index holds no job");
        c.oldestBackup = jobs.front().time;

        hubbench::TCatalogueAgent agent =
            hubbench::startCatalogueAgent(c.scale, hub, kAgent, items, c.folder.string());
        c.agent = std::move(agent.process);
        CZyNetDirectory::instance().registerClient(kAgent, "127.0.0.1", agent.port);

        if (hubdb::openHubDatabase(hub, &error) != zydb::DB_OK) giveUp(error);
        c.cache = std::make_unique<CConfigurationMgr>();
        g_poConfMgr = c.cache.get();
        CControllerThreadHM::TOptions options;
        options.stopEventName = "bench-fastbrowse-latency-" + std::to_string(getpid());
        c.controller = std::make_unique<CControllerThreadHM>(options);
        c.pool = std::make_unique<ZyNetworkPoP>();
        CWorkerThreadHM::setSessionPool(c.pool.get());

        c.fileOfVersions = hubbench::catalogueFileOfVersions(*c.index, c.appId);
        return c;
    }();
    return c;
}

void stopClassic() {
    TClassic& c = classic();
    c.controller.reset();
    CWorkerThreadHM::setSessionPool(nullptr);
    c.pool.reset();
    g_poConfMgr = nullptr;
    c.cache.reset();
    c.agent.reset();
    zydb::CDbEnv::close();
}

// The browses of the catalogue; the versions of one file as a range browse from the epoch's first second
// (the worker keeps the versions modified in the range, and the catalogue's files predate its first job).
TBrowseQuery browseQuery(hubbench::TCatalogueBrowse b) {
    TClassic& c = classic();
    TBrowseQuery q = hubbench::catalogueBrowseQuery(b, c.appId, c.fileOfVersions);
    if (b == hubbench::kFileVersions) {
        q.fromTime = 1;
        q.toTime = kFirstJob + 10 * kDay;
    }
    return q;
}

// One answer read straight from the item index.
std::vector<TItemVersion> indexAnswer(const TBrowseQuery& q) {
    std::vector<TItemVersion> out;
    hubbench::readCatalogueIndex(*classic().index, q, out);
    return out;
}

// One browse through the controller and the worker's fast browse: the paths of the items that reached
// the return channel before its end, in order; false when the browse failed.
bool classicAnswer(const TBrowseQuery& q, std::vector<std::string>& paths) {
    TClassic& c = classic();
    const long long job = ++c.nextJob;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(job, destination);
    EvMultiEntityRestoreTask task;
    hubbench::fillCatalogueTask(task, job, c.user, c.client, c.backupSet, c.appId, 0, q);
    if (q.pageSize != 0) {
        task.setEmFunction(kPagedFromFirst);
        task.setbrowseFindPattern(hubbench::catalogueFindPattern(q).c_str());
    }
    paths.clear();
    const bool ok = c.controller->newRequest(&task, false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
    if (ok)
        hubbench::forEachAnsweredItem(*destination, [&](const CNMessageBase& item) {
            // A paged answer names each item by its node too, for the next page (without it find gives
            // npos, and the whole name is taken).
            const std::string name = item.getstring(databrowse::BrowseData::f::name);
            paths.push_back(name.substr(name.find('\x12') + 1));
        });
    EvReturnDestinations::unregisterDestination(job);
    return ok;
}

bool samePaths(const std::vector<std::string>& paths, const std::vector<TItemVersion>& versions) {
    if (paths.size() != versions.size()) return false;
    for (size_t k = 0; k < paths.size(); ++k)
        if (paths[k] != versions[k].path) return false;
    return true;
}

// Which answer the media agent gave: the index's for the browse asked, or, for a point in time (the
// worker sends the oldest backup as the from-time), every version since then; empty when neither.
std::string answerKind(const TBrowseQuery& q, const std::vector<std::string>& paths) {
    if (samePaths(paths, indexAnswer(q)))
        return q.fromTime != 0 ? "as the index over the range" : "as the index at the to-time";
    TBrowseQuery since = q;
    since.fromTime = classic().oldestBackup;
    if (q.fromTime == 0 && samePaths(paths, indexAnswer(since)))
        return "as every version since the oldest backup";
    return "";
}

void BM_Classic(benchmark::State& state) {
    const TBrowseQuery q = browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0)));
    std::vector<std::string> paths;
    for (auto _ : state) {
        if (!classicAnswer(q, paths) || paths.empty()) {
            state.SkipWithError("the classic browse failed or answered nothing");
            return;
        }
    }
    const std::string kind = answerKind(q, paths);
    if (kind.empty()) {
        const std::string why = "the classic answer (" + std::to_string(paths.size()) + " items, first " +
                                paths.front() + ") agrees with no read of the item index (" +
                                std::to_string(indexAnswer(q).size()) + " items)";
        state.SkipWithError(why.c_str());
        return;
    }
    state.SetLabel(kind);
    state.counters["items"] = static_cast<double>(paths.size());
}

void BM_IndexRead(benchmark::State& state) {
    hubbench::timeCatalogueIndexRead(state, *classic().index,
                                     browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0))));
}

BENCHMARK(BM_Classic)->Apply(hubbench::catalogueBrowseRepeated);
BENCHMARK(BM_IndexRead)->Apply(hubbench::catalogueBrowseRepeated);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    classic();
    hubbench::RatioReporter reporter(hubbench::catalogueRatioPairs("BM_Classic", "BM_IndexRead",
                                                                   "classic fast browse / item index", 3, 0));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    stopClassic();
    return 0;
}
