// What the benchmarks that browse the media agent's catalogue through the service share: its Hubmaster
// database with a caller, its item index generated once, the caller's paging query, the items an answer
// brought to the return channel, and the ratio of each browse over the raw index read. Header only; used
// by each benchmark's main thread.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/support/catalogue.h"
#include "bench/support/ratio.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_options.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/itemindex.h"

namespace hubbench {

[[noreturn]] inline void giveUp(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
}

// The catalogue's Hubmaster database at `path`, seeded afresh (it is small, and its rows are this run's):
// the catalogue's rows with its media agent `agentName` of `release`, the hub's own client and the
// administrator allowed to browse.
struct TCatalogueHub {
    TCatalogueRows rows;
    int hub = 0, user = 0;
};
inline TCatalogueHub seedCatalogueHub(const std::string& path, const std::string& agentName,
                                      const std::string& release) {
    std::filesystem::remove(path);
    TCatalogueHub h;
    hubdb::HubDbSeed seed(path);
    seed.begin();
    h.rows = seedCatalogueRows(seed, agentName, release);
    h.hub = seed.addClient({.name = "benchhub"});
    h.user = hubdb::RowSeed(seed).addUser({.login = "admin"});
    zysec::SecuritySeed(seed).grant(h.user, zysec::kPermBrowse, {});
    seed.commit();
    if (!seed.ok()) giveUp("cannot seed " + path);
    return h;
}

// The item index `items` of `agentName` in `hub` at `scale`, generated unless an earlier run left it.
inline void ensureCatalogueIndex(const std::string& hub, const std::string& agentName,
                                 const TCatalogueScale& scale, const std::string& items) {
    mediaagent::TAgentPlan plan;
    std::string error;
    if (!mediaagent::loadAgentPlan(hub, agentName, plan, error)) giveUp(error);
    if (mediaagent::itemIndexIsCurrent(items, plan, scale.scale)) return;
    mediaagent::TBuildStats stats;
    if (!mediaagent::buildItemIndex(items, plan, scale.scale, error, &stats)) giveUp(error);
    std::printf("catalogue %s: %lld versions generated in %.1f s\n", scale.label.c_str(),
                static_cast<long long>(stats.versions), stats.seconds);
}

// A tools/mediaagent process of the build serving the catalogue as `agentName` from the Hubmaster database
// `hub` and the item index `items` (generated at the same scale, so it is reused), with `extra` options;
// its port once it listens.
struct TCatalogueAgent {
    std::unique_ptr<hubtest::CChildProcess> process;
    int port = 0;
};
inline TCatalogueAgent startCatalogueAgent(const TCatalogueScale& c, const std::string& hub,
                                           const std::string& agentName, const std::string& items,
                                           const std::string& logFolder,
                                           std::vector<std::string> extra = {}) {
    std::vector<std::string> args = catalogueAgentOptions(c, hub, agentName, items, logFolder);
    args.insert(args.end(), {"--port", "0"});
    // This process plays the Hubmaster: its sessions carry the Hubmaster's client name, which the media
    // agent answers.
    TZyNetOptions net = zyNetOptions();
    if (ZYClient(ZYClient::hubmasterClientId()).getName(net.localClientName) != 0 ||
        net.localClientName.empty())
        net.localClientName = "hubmaster";
    setZyNetOptions(net);
    args.push_back("--hubmaster");
    args.push_back(net.localClientName);
    args.insert(args.end(), extra.begin(), extra.end());
    // The program is found below the build folder, three levels above the benchmark's own.
    const std::filesystem::path build =
        std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    setenv("HUB_BINARY_DIR", build.c_str(), 1);
    TCatalogueAgent agent;
    agent.process = std::make_unique<hubtest::CChildProcess>("tools/mediaagent/mediaagent", std::move(args));
    const char* listening = "listening on 127.0.0.1:";
    if (!agent.process->waitFor(listening, std::chrono::minutes(30)))
        giveUp("the media agent did not start: " + agent.process->output());
    agent.port = static_cast<int>(agent.process->numberAfter(listening));
    return agent;
}

// The file whose versions are browsed: the first of the first page's directory at the point in time.
inline std::string catalogueFileOfVersions(mediaagent::CItemIndex& index, int appId) {
    mediaagent::TBrowseQuery first = catalogueBrowseQuery(kFirstPage, appId, "");
    first.pageSize = 1;
    std::vector<mediaagent::TItemVersion> out;
    bool found = false;
    if (!index.listAt(first, out, found) || out.empty()) giveUp("the first page's directory is empty");
    return out.front().path;
}

// The paging query of a browse as its caller writes it; empty when the browse is not paged.
inline std::string catalogueFindPattern(const mediaagent::TBrowseQuery& q) {
    if (q.pageSize == 0) return "";
    databrowse::Querylist list;
    databrowse::Query page;
    page.setint64(databrowse::Query::f::type, 0);
    databrowse::Msg6 paging;
    paging.setint64(databrowse::Msg6::f::pageSize, q.pageSize);
    paging.setint64(databrowse::Msg6::f::skipNode, q.skip);
    page.getObjectAccessor(databrowse::Query::f::dataParam, true)
        ->setObjectAccessor(paging, databrowse::DataParam::f::paging);
    list.setlistobject(databrowse::Querylist::f::queries, {page});
    std::string text;
    list.serialize(text);
    return text;
}

// The browse task of one catalogue browse by the administrator: a range asks for every version in it,
// as the router's all-versions operation does. `instanceId` as the chain under test needs it.
inline void fillCatalogueTask(EvMultiEntityRestoreTask& task, long long job, int user, int client,
                              int backupSet, int appId, long instanceId, const mediaagent::TBrowseQuery& q) {
    constexpr unsigned long long kAllVersions = 0x8;
    task.setTaskParameters(static_cast<unsigned long long>(job), 0, user, q.fromTime != 0 ? kAllVersions : 0,
                           2, client, backupSet, 0, static_cast<long>(q.toTime),
                           static_cast<long>(q.fromTime), 29, instanceId, 0, 0);
    task.setUserName("admin");
    task.setSubClientId(appId);
    task.addPath(EvRestoreTask::kBrowsePathList, q.path.c_str());
}

// Each item the answers recorded in `destination` carry, in order, given to `take`.
template <class F>
void forEachAnsweredItem(const EvRecordingDestination& destination, F take) {
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        if (response.unserialize(xml) != 0 || !response.isSet(databrowse::BrowseResponse::f::browseResult))
            continue;
        CNMessageBase* result =
            response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        if (auto* list = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
            for (const CNMessageBase& item : *list) take(item);
    }
}

// One browse read straight from the item index: at the point in time, or over the query's range. False
// (and nothing in `out`) when the read fails.
inline bool readCatalogueIndex(mediaagent::CItemIndex& index, const mediaagent::TBrowseQuery& q,
                               std::vector<mediaagent::TItemVersion>& out) {
    bool found = false;
    const bool ok = q.fromTime != 0 ? index.listRange(q, out, found) : index.listAt(q, out, found);
    if (!ok) out.clear();
    return ok;
}

// The body of the raw index read of a browse, the baseline of each pair.
inline void timeCatalogueIndexRead(benchmark::State& state, mediaagent::CItemIndex& index,
                                   const mediaagent::TBrowseQuery& q) {
    std::vector<mediaagent::TItemVersion> out;
    for (auto _ : state) {
        if (!readCatalogueIndex(index, q, out)) {
            state.SkipWithError("the item index cannot be read");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["items"] = static_cast<double>(out.size());
}

// The browses as arguments, in milliseconds of real time (the chain waits on other threads).
inline void catalogueBrowseArguments(benchmark::internal::Benchmark* b) {
    for (int k = 0; k < kCatalogueBrowseCount; ++k) b->Arg(k);
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
}

// The same, each run in repetitions (a latency pair's spread, and its median compared).
inline void catalogueBrowseRepeated(benchmark::internal::Benchmark* b) {
    catalogueBrowseArguments(b);
    repeatedWithSpread(b);
}

// The pairs of the browses: `subject`/<browse> over `baseline`/<browse>, both timed in real time, with
// the ratio's goal (0: information) and the excess's (as RatioPair says).
inline std::vector<RatioPair> catalogueRatioPairs(const std::string& subject, const std::string& baseline,
                                                  const std::string& label, double goal,
                                                  double excessGoalMs = -1) {
    std::vector<RatioPair> pairs;
    for (int k = 0; k < kCatalogueBrowseCount; ++k)
        pairs.push_back({subject + "/" + std::to_string(k) + "/real_time",
                         baseline + "/" + std::to_string(k) + "/real_time",
                         std::string(kCatalogueBrowseNames[k]) + ": " + label, goal, excessGoalMs});
    return pairs;
}

}  // namespace hubbench
