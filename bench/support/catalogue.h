// The media agent's benchmark catalogue, shared by the benchmarks that browse it: its scale (1M versions
// by default, 10M with MEDIAAGENT_BENCH_SCALE=10M), the Hubmaster rows its item index is generated from
// (one subclient with one full and five incremental jobs, a day apart), and its point in time. Header
// only; used by each benchmark's main thread.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/hubdb/hubdbseed.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/itemindexbuilder.h"

namespace hubbench {

constexpr int kCatalogueFirstJob = 1700000000;
constexpr int kCatalogueDay = 86400;
// During the fourth job's day.
constexpr int64_t kCataloguePointInTime = kCatalogueFirstJob + 3 * kCatalogueDay + 3600;

struct TCatalogueScale {
    std::string label;  // "1M" or "10M"
    mediaagent::TIndexScale scale;
};

// 10,000 (10M) or 817 (1M) leaf directories of 490 files under a three-level tree, plus one directory
// of 100,000 files; each incremental job changes a fifth of the files.
inline TCatalogueScale catalogueScale() {
    TCatalogueScale c;
    const char* env = std::getenv("MEDIAAGENT_BENCH_SCALE");
    const bool large = env && std::string(env) == "10M";
    c.label = large ? "10M" : "1M";
    c.scale.files = large ? 5'000'000 : 500'000;
    c.scale.bigDirectoryFiles = 100'000;
    c.scale.filesPerDirectory = 490;
    c.scale.fanout = large ? 22 : 10;
    c.scale.changePercent = 20;
    c.scale.deletePercent = 0;
    c.scale.newPercent = 0;
    c.scale.metadataEvery = 0;
    return c;
}

// The options of a tools/mediaagent process that serves (or with --build-only makes) the catalogue at
// `c`'s scale as `agentName` of the Hubmaster database `hub`, from the item index `items`, logging in
// `logFolder`.
inline std::vector<std::string> catalogueAgentOptions(const TCatalogueScale& c, const std::string& hub,
                                                      const std::string& agentName, const std::string& items,
                                                      const std::string& logFolder) {
    const mediaagent::TIndexScale& s = c.scale;
    const std::pair<const char*, std::string> options[] = {
        {"--hub", hub},
        {"--client", agentName},
        {"--index", items},
        {"--files", std::to_string(s.files)},
        {"--big-dir", std::to_string(s.bigDirectoryFiles)},
        {"--files-per-dir", std::to_string(s.filesPerDirectory)},
        {"--fanout", std::to_string(s.fanout)},
        {"--change-percent", std::to_string(s.changePercent)},
        {"--delete-percent", std::to_string(s.deletePercent)},
        {"--new-percent", std::to_string(s.newPercent)},
        {"--metadata-every", std::to_string(s.metadataEvery)},
        {"--batch", "1000"},
        {"--log", logFolder}};
    std::vector<std::string> args;
    for (const auto& [name, value] : options) {
        args.push_back(name);
        args.push_back(value);
    }
    return args;
}

// The rows of the catalogue in `seed` (inside the caller's transaction): its media agent `agentName` of
// `release`, client "benchclient" and subclient, and the six jobs. The ids made.
struct TCatalogueRows {
    int agent = 0, policy = 0, client = 0, backupSet = 0, subclient = 0;
};
inline TCatalogueRows seedCatalogueRows(hubdb::HubDbSeed& seed, const std::string& agentName,
                                        const std::string& release) {
    TCatalogueRows r;
    r.agent = seed.addMediaAgent({.name = agentName, .zydPort = 8499}, release, 1);
    r.policy = seed.addStoragePolicy("bench-policy", r.agent);
    r.client = seed.addClient({.name = "benchclient"});
    r.backupSet = seed.addBackupSet("defaultBackupSet");
    r.subclient = seed.addSubclient(
        {.clientId = r.client, .appTypeId = 29, .backupSetId = r.backupSet, .storagePolicyId = r.policy});
    for (int j = 0; j < 6; ++j)
        seed.addBackup(r.subclient, j == 0 ? 1 : 2, kCatalogueFirstJob + j * kCatalogueDay, 2);
    return r;
}

// The five browses of the catalogue, each a page of 100 at the point in time but the versions.
enum TCatalogueBrowse { kFirstPage, kDeepPage, kTopOfTree, kFileVersions, kBigFirstPage };
constexpr int kCatalogueBrowseCount = 5;
inline const char* const kCatalogueBrowseNames[kCatalogueBrowseCount] = {
    "first page of a directory", "page at offset 90,000", "directory of directories", "versions of one file",
    "first page of 100,000 files"};

// The query of a browse; for the versions of one file, `file` (every version, no page).
inline mediaagent::TBrowseQuery catalogueBrowseQuery(TCatalogueBrowse b, int appId, const std::string& file) {
    mediaagent::TBrowseQuery q;
    q.appId = appId;
    q.toTime = kCataloguePointInTime;
    q.pageSize = 100;
    switch (b) {
        case kFirstPage:
            q.path = "/d01/d01/d01";
            break;
        case kDeepPage:
            q.path = "/big";
            q.skip = 90'000;
            break;
        case kBigFirstPage:
            q.path = "/big";
            break;
        case kTopOfTree:
            q.path = "/d00";
            break;
        case kFileVersions:
            q.path = file;
            q.toTime = 0;
            q.pageSize = 0;
            break;
    }
    return q;
}

}  // namespace hubbench
