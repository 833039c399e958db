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

#include "bench/support/catalogue.h"
#include "bench/support/ratio.h"
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

bool seedHub(const std::string& path, TChain& c) {
    hubdb::HubDbSeed seed(path);
    seed.begin();
    const hubbench::TCatalogueRows rows = hubbench::seedCatalogueRows(seed, kAgent, "11.0");
    c.client = rows.client;
    c.backupSet = rows.backupSet;
    c.appId = rows.subclient;
    c.hub = seed.addClient({.name = "benchhub"});
    c.user = hubdb::RowSeed(seed).addUser({.login = "admin"});
    zysec::SecuritySeed(seed).grant(c.user, zysec::kPermBrowse, {});
    seed.commit();
    return seed.ok();
}
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
        fs::remove(hub);  // small; seeded afresh so its ports and rows are this run's
        if (!seedHub(hub, c)) {
            std::fprintf(stderr, "cannot seed %s\n", hub.c_str());
            std::exit(1);
        }
        mediaagent::TAgentPlan plan;
        std::string error;
        if (!mediaagent::loadAgentPlan(hub, kAgent, plan, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        if (!mediaagent::itemIndexIsCurrent(items, plan, c.scale)) {
            mediaagent::TBuildStats stats;
            if (!mediaagent::buildItemIndex(items, plan, c.scale, error, &stats)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                std::exit(1);
            }
            std::printf("catalogue %s: %lld versions generated in %.1f s\n", c.label.c_str(),
                        static_cast<long long>(stats.versions), stats.seconds);
        }
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
        const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
        setenv("HUB_BINARY_DIR", build.c_str(), 1);
        c.agent = std::make_unique<hubtest::CChildProcess>(
            "tools/mediaagent/mediaagent", std::vector<std::string>{"--hub",
                                                                    hub,
                                                                    "--client",
                                                                    kAgent,
                                                                    "--port",
                                                                    "0",
                                                                    "--index",
                                                                    items,
                                                                    "--files",
                                                                    std::to_string(c.scale.files),
                                                                    "--big-dir",
                                                                    "100000",
                                                                    "--files-per-dir",
                                                                    "490",
                                                                    "--fanout",
                                                                    std::to_string(c.scale.fanout),
                                                                    "--change-percent",
                                                                    "20",
                                                                    "--delete-percent",
                                                                    "0",
                                                                    "--new-percent",
                                                                    "0",
                                                                    "--metadata-every",
                                                                    "0",
                                                                    "--batch",
                                                                    "1000",
                                                                    "--index-service",
                                                                    "started",
                                                                    "--log",
                                                                    c.folder.string()});
        const char* listening = "listening on 127.0.0.1:";
        if (!c.agent->waitFor(listening, std::chrono::minutes(30))) {
            std::fprintf(stderr, "the media agent did not start: %s\n", c.agent->output().c_str());
            std::exit(1);
        }
        const int agentPort = static_cast<int>(c.agent->numberAfter(listening));
        hubdb::HubDbSeed seed(hub);
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(router->GetPort()), zydb::DbValue::ofInt(c.hub)});
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE name = ?",
                  {zydb::DbValue::ofInt(agentPort), zydb::DbValue::ofText(kAgent)});
        CZyNetDirectory::instance().registerClient(kAgent, "127.0.0.1", agentPort);

        // The file whose versions are browsed: the first of the first page's directory.
        TBrowseQuery first;
        first.appId = c.appId;
        first.path = "/d01/d01/d01";
        first.toTime = c.pointInTime;
        first.pageSize = 1;
        std::vector<TItemVersion> out;
        bool found = false;
        c.index->listAt(first, out, found);
        c.fileOfVersions = out.empty() ? "/d01/d01/d01" : out.front().path;
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
    bool found = false;
    TChain& c = chain();
    const bool ok = q.fromTime != 0 ? c.index->listRange(q, out, found) : c.index->listAt(q, out, found);
    return ok ? out.size() : 0;
}

// The paging query of a browse as its caller writes it.
std::string findPattern(const TBrowseQuery& q) {
    if (q.pageSize == 0) return "";
    databrowse::Querylist list;
    databrowse::Query page;
    page.setint64(databrowse::Query::f::type, 0);
    databrowse::Msg6 paging;
    paging.setint64(databrowse::Msg6::f::pageSize, q.pageSize);
    paging.setint64(databrowse::Msg6::f::skipNode, q.skip);
    page.getObjectAccessor(databrowse::Query::f::dataParam, true)
        ->setObjectAccessor(paging, databrowse::DataParam::f::at2_2);
    list.setlistobject(databrowse::Querylist::f::queries, {page});
    std::string text;
    list.serialize(text);
    return text;
}

// One browse through the chain: the items that reached the return channel before its end.
size_t chainAnswer(const TBrowseQuery& q, const std::string& pattern) {
    TChain& c = chain();
    const long long job = ++c.nextJob;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(job, destination);
    EvMultiEntityRestoreTask task;
    task.setTaskParameters(static_cast<unsigned long long>(job), 0, c.user, 0, 2, c.client, c.backupSet, 0,
                           static_cast<long>(q.toTime), static_cast<long>(q.fromTime), 29, 1, 0, 0);
    task.setUserName("admin");
    task.setSubClientId(c.appId);
    task.addPath(EvRestoreTask::kBrowsePathList, q.path.c_str());
    std::string extended(87, '0');
    extended[86] = '1';  // super browse over one cycle too
    task.setextendedOptions(extended.c_str());
    if (!pattern.empty()) task.setbrowseFindPattern(pattern.c_str());
    size_t items = 0;
    if (fastBrowseHMProcessRequestMultiEntity(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr) == 1 &&
        destination->waitForEnd(std::chrono::seconds(60))) {
        for (const std::string& xml : destination->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) != 0 ||
                !response.isSet(databrowse::BrowseResponse::f::browseResult))
                continue;
            CNMessageBase* result =
                response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            if (auto* list = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                items += list->size();
        }
    }
    EvReturnDestinations::unregisterDestination(job);
    return items;
}

void BM_Chain(benchmark::State& state) {
    const TBrowseQuery q = browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0)));
    const std::string pattern = findPattern(q);
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
    const TBrowseQuery q = browseQuery(static_cast<hubbench::TCatalogueBrowse>(state.range(0)));
    size_t items = 0;
    for (auto _ : state) {
        items = rawAnswer(q);
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = static_cast<double>(items);
}

void arguments(benchmark::internal::Benchmark* b) {
    for (int k = 0; k < 4; ++k) b->Arg(k);
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
}
BENCHMARK(BM_Chain)->Apply(arguments);
BENCHMARK(BM_IndexRead)->Apply(arguments);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    chain();
    std::vector<hubbench::RatioPair> pairs;
    for (int k = 0; k < 4; ++k)
        pairs.push_back({"BM_Chain/" + std::to_string(k) + "/real_time",
                         "BM_IndexRead/" + std::to_string(k) + "/real_time",
                         std::string(hubbench::kCatalogueBrowseNames[k]) + ": whole chain / item index", 0});
    hubbench::RatioReporter reporter(pairs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fastBrowseHMCleanUp();
    chain().agent.reset();
    zydb::CDbEnv::close();
    return 0;
}
