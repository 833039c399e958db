// The planner's split over seeded databases: subclients x cycles x archive files per job, by the
// stored procedure and by the per-subclient archive-manager path, with the calls each made; the raw
// baseline is one SQLite scan of the same archive files.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <tuple>

#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr int kT0 = 1600000000;
constexpr long kMaxFiles = 1000000;  // the largest size asked for (1,000 x 100 x 10)

struct World {
    std::string dir;
    std::string path;
    int client = 0, backupSet = 0;
};

// One database per size, made once per run and removed at exit.
class Worlds {
public:
    ~Worlds() {
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    const World& get(int subclients, int cycles, int files) {
        auto key = std::make_tuple(subclients, cycles, files);
        auto it = m_worlds.find(key);
        if (it != m_worlds.end()) return it->second;
        if (m_root.empty()) {
            std::string tmpl = (std::filesystem::temp_directory_path() / "bench-planning-XXXXXX").string();
            m_root = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
            EvDebugFileInstance::setLogDirectory(m_root);
            ZYPlatformInfo::setRegistryPath(m_root + "/registry.ini");
        }
        World w;
        w.path = m_root + "/" + std::to_string(subclients) + "_" + std::to_string(cycles) + "_" +
                 std::to_string(files) + ".db";
        hubdb::HubDbSeed seed(w.path);
        int ma = seed.addMediaAgent({.name = "ma"}, "11.0");
        int sp = seed.addStoragePolicy("sp", ma);
        w.client = seed.addClient({.name = "client"});
        w.backupSet = seed.addBackupSet("bs");
        seed.begin();
        for (int s = 0; s < subclients; ++s) {
            int sc = seed.addSubclient({.clientId = w.client,
                                        .appTypeId = 29,
                                        .backupSetId = w.backupSet,
                                        .name = "sc" + std::to_string(s),
                                        .storagePolicyId = sp});
            for (int c = 0; c < cycles; ++c) seed.addBackup(sc, 1, kT0 + c * 1000 + s, files - 1, true);
        }
        seed.commit();
        return m_worlds.emplace(key, w).first->second;
    }

private:
    std::string m_root;
    std::map<std::tuple<int, int, int>, World> m_worlds;
};

bool tooLarge(benchmark::State& state, int subclients, int cycles, int files) {
    if (static_cast<long>(subclients) * cycles * files <= kMaxFiles) return false;
    state.SkipWithError("world too large to seed in a benchmark run");
    return true;
}

Worlds& worlds() {
    static Worlds w;
    return w;
}

void split(benchmark::State& state, bool perSubclient) {
    const int subclients = static_cast<int>(state.range(0)), cycles = static_cast<int>(state.range(1)),
              files = static_cast<int>(state.range(2));
    if (tooLarge(state, subclients, cycles, files)) return;
    const World& w = worlds().get(subclients, cycles, files);
    hubdb::openHubDatabase(w.path);
    ZYPlatformInfo::setNumber("EventManager", "nDONOTUSESUPERBROWSESP", perSubclient ? 1 : 0);
    SuperBrowseManager::TCallCounts calls;
    size_t cyclesFound = 0;
    for (auto _ : state) {
        EvMultiEntityRestoreTask task;
        // Option bit 0x8 keeps every cycle of the range.
        task.setTaskParameters(0, 0, 0, 0x8, 2, w.client, w.backupSet, 0, kT0 + cycles * 1000 + 100000,
                               kT0 - 10, 29, 1, 0, 0);
        SuperBrowseManager m(&task);
        if (m.split("\\") != 0) state.SkipWithError("split failed");
        calls = m.getCallCounts();
        cyclesFound = m.getCycleCount();
    }
    state.counters["files"] = static_cast<double>(subclients) * cycles * files;
    state.counters["cycles"] = static_cast<double>(cyclesFound);
    state.counters["procCalls"] = static_cast<double>(calls.procedureCalls);
    state.counters["amCalls"] = static_cast<double>(calls.archiveManagerCalls);
    state.counters["us/file"] =
        benchmark::Counter(static_cast<double>(subclients) * cycles * files,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    zydb::CDbEnv::close();
}

void BM_SplitByProcedure(benchmark::State& state) {
    split(state, false);
}
void BM_SplitPerSubclient(benchmark::State& state) {
    split(state, true);
}

// The raw library reading the same archive files once.
void BM_RawArchFileScan(benchmark::State& state) {
    const int subclients = static_cast<int>(state.range(0)), cycles = static_cast<int>(state.range(1)),
              files = static_cast<int>(state.range(2));
    if (tooLarge(state, subclients, cycles, files)) return;
    const World& w = worlds().get(subclients, cycles, files);
    sqlite3* db = nullptr;
    sqlite3_open_v2(w.path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT id, kelmarchId, archGroupId, fileType, cTime, jobId, appId FROM archFile "
                           "ORDER BY appId, cTime",
                           -1, &st, nullptr);
        long long sum = 0;
        while (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_close(db);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int s : {1, 10, 100, 1000})
        for (int c : {1, 10, 100})
            for (int f : {2, 10}) b->Args({s, c, f});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SplitByProcedure)->Apply(sizes);
BENCHMARK(BM_SplitPerSubclient)->Apply(sizes);
BENCHMARK(BM_RawArchFileScan)->Apply(sizes);

}  // namespace
