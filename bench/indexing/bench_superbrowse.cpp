// Super browse through the whole chain on the media agent's benchmark catalogue (one full and five
// incremental jobs each changing a fifth of the files; 817 (1M) or 10,000 (10M) leaf directories of 490
// files under a three-level tree, plus one directory of 100,000 files): each browse entered at
// fastBrowseHMProcessRequestMultiEntity, planned, sent as an indexing-V1 request to the index service of
// a real media-agent process (release 11), answered from its item index through "BrowseRouter" into the
// task's return channel, until the end. Against the same answer read straight from the item index. The
// four browses: the first page of a directory, a page at offset 90,000 of the 100,000-entry directory, a
// directory of directories, every version of one file. MEDIAAGENT_BENCH_SCALE=10M selects the larger
// catalogue (1M by default); it is generated once into the build folder and reused.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/support/cataloguechain.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/itemindexbuilder.h"

namespace {

namespace fs = std::filesystem;
using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;

constexpr int kFirstJob = hubbench::kCatalogueFirstJob;
constexpr int kDay = hubbench::kCatalogueDay;
const char* const kAgent = "benchagent";

struct TChain {
    std::string label;
    mediaagent::TIndexScale scale;
    fs::path folder;
    int appId = 0, client = 0, backupSet = 0, user = 0, hub = 0;
    int64_t pointInTime = 0;
    std::unique_ptr<mediaagent::CItemIndex> index;
    std::unique_ptr<hubtest::CChildProcess> agent;
    std::string fileOfVersions;
    long long nextJob = 500000;
};

TChain& chain() {
    static TChain c = [] {
        TChain c;
        const hubbench::TCatalogueScale scale = hubbench::catalogueScale();
        c.label = scale.label;
        c.scale = scale.scale;
        c.folder = fs::canonical("/proc/self/exe").parent_path() / ("chain-catalogue-" + c.label);
        fs::create_directories(c.folder);
        const std::string hub = (c.folder / "hub.db").string();
        const std::string items = (c.folder / "items.db").string();
        const hubbench::TCatalogueHub seeded = hubbench::seedCatalogueHub(hub, kAgent, "11.0");
        c.client = seeded.rows.client;
        c.backupSet = seeded.rows.backupSet;
        c.appId = seeded.rows.subclient;
        c.hub = seeded.hub;
        c.user = seeded.user;
        hubbench::ensureCatalogueIndex(hub, kAgent, scale, items);
        std::string error;
        c.index = mediaagent::CItemIndex::open(items, error);
        c.pointInTime = hubbench::kCataloguePointInTime;

        // The service in this process, its router on a loopback port; the media agent as its own process.
        EvDebugFileInstance::setLogDirectory(c.folder.string());
        ZYPlatformInfo::setRegistryPath((c.folder / "registry.ini").string());
        ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId", static_cast<unsigned long>(c.hub));
        if (hubdb::openHubDatabase(hub, &error) != 0 || fastBrowseHMInitialize() != 1) {
            std::fprintf(stderr, "cannot start the service: %s\n", error.c_str());
            std::exit(1);
        }
        CZyNetworkServer* router = g_poBrowseRouterThreadHM->getSessionServer();
        while (router->GetPort() <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        hubbench::TCatalogueAgent agent = hubbench::startCatalogueAgent(
            scale, hub, kAgent, items, c.folder.string(), {"--index-service", "started"});
        c.agent = std::move(agent.process);
        const int agentPort = agent.port;
        hubdb::HubDbSeed seed(hub);
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(router->GetPort()), zydb::DbValue::ofInt(c.hub)});
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE name = ?",
                  {zydb::DbValue::ofInt(agentPort), zydb::DbValue::ofText(kAgent)});
        CZyNetDirectory::instance().registerClient(kAgent, "127.0.0.1", agentPort);

        c.fileOfVersions = hubbench::catalogueFileOfVersions(*c.index, c.appId);
        return c;
    }();
    return c;
}

// The browses of the catalogue; the versions of one file as a range browse from before the first job.
mediaagent::TBrowseQuery browseQuery(hubbench::TCatalogueBrowse b) {
    TChain& c = chain();
    TBrowseQuery q = hubbench::catalogueBrowseQuery(b, c.appId, c.fileOfVersions);
    if (b == hubbench::kFileVersions) {
        q.fromTime = kFirstJob - 1;
        q.toTime = kFirstJob + 10 * kDay;
    }
    return q;
}

// Items (or versions) of one answer read straight from the item index.
size_t rawAnswer(const TBrowseQuery& q) {
    std::vector<TItemVersion> out;
    return hubbench::readCatalogueIndex(*chain().index, q, out) ? out.size() : 0;
}

// One browse through the chain: the items that reached the return channel before its end.
size_t chainAnswer(const TBrowseQuery& q, const std::string& pattern) {
    TChain& c = chain();
    const long long job = ++c.nextJob;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(job, destination);
    EvMultiEntityRestoreTask task;
    hubbench::fillCatalogueTask(task, job, c.user, c.client, c.backupSet, c.appId, 1, q);
    std::string extended(87, '0');
    extended[86] = '1';  // super browse over one cycle too
    task.setextendedOptions(extended.c_str());
    if (!pattern.empty()) task.setbrowseFindPattern(pattern.c_str());
    size_t items = 0;
    if (fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr) == 1 &&
        destination->waitForEnd(std::chrono::seconds(60))) {
        hubbench::forEachAnsweredItem(*destination, [&](const CNMessageBase&) { ++items; });
    }
    EvReturnDestinations::unregisterDestination(job);
    return items;
}

void BM_Chain(benchmark::State& state) {
    const TBrowseQuery q = browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0)));
    const std::string pattern = hubbench::catalogueFindPattern(q);
    const size_t expected = rawAnswer(q);
    size_t items = 0;
    for (auto _ : state) {
        items = chainAnswer(q, pattern);
        if (items != expected || items == 0) {
            state.SkipWithError("the chain's answer differs from the item index's");
            break;
        }
    }
    state.counters["items"] = static_cast<double>(items);
}

void BM_IndexRead(benchmark::State& state) {
    hubbench::timeCatalogueIndexRead(state, *chain().index,
                                     browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0))));
}

BENCHMARK(BM_Chain)->Apply(hubbench::catalogueBrowseArguments);
BENCHMARK(BM_IndexRead)->Apply(hubbench::catalogueBrowseArguments);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    chain();
    hubbench::RatioReporter reporter(
        hubbench::catalogueRatioPairs("BM_Chain", "BM_IndexRead", "whole chain / item index", 0));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fastBrowseHMCleanUp();
    chain().agent.reset();
    zydb::CDbEnv::close();
    return 0;
}
