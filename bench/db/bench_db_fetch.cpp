// 100,000 ArchFile rows fetched through the row family (DBtable, dialect, record binding) against a
// raw sqlite3_step loop that reads the same columns of the same query into a plain struct, in one
// run; the ratio of the two is printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Db/Tbl/archFile.h"
#include "bench/support/ratio.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdbseed.h"

namespace {

constexpr int kRows = 100000;

struct Database {
    std::string dir;
    std::string path;
    Database() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "hubdb-bench-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data()) ? tmpl : "/tmp";
        path = dir + "/bench.db";
        hubdb::HubDbSeed seed(path);
        seed.begin();
        for (int k = 1; k <= kRows; ++k) {
            seed.exec(
                "INSERT INTO archFile (id, name, kelmarchId, archGroupId, objName1, flags, appId, fileType, "
                "cTime, "
                "jobId, backupLevel, isValid) VALUES (?, ?, 2, 1, ?, 64, ?, 1, ?, ?, 1, 1)",
                {zydb::DbValue::ofInt(k), zydb::DbValue::ofText("archive-file-" + std::to_string(k)),
                 zydb::DbValue::ofText("/media/lib1/vol" + std::to_string(k % 97)),
                 zydb::DbValue::ofInt(k % 50), zydb::DbValue::ofInt(1700000000 + k),
                 zydb::DbValue::ofInt(k / 3)});
        }
        seed.commit();
        if (!seed.ok()) std::fprintf(stderr, "seed failed: %s\n", seed.error().c_str());
        hubdb::openHubDatabase(path);
    }
    ~Database() {
        zydb::CDbEnv::close();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Database& db() {
    static Database d;
    return d;
}

void BM_ArchFileThroughFamily(benchmark::State& state) {
    db();
    for (auto _ : state) {
        ArchFile af(nullptr);
        long long sum = 0;
        int rows = 0;
        while (getNextRow(&af, &rows, -1, 0) == 0) sum += af.getDataPtr()->id + af.getDataPtr()->name[0];
        benchmark::DoNotOptimize(sum);
        if (rows != kRows) state.SkipWithError("wrong row count");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// What a caller of sqlite3 alone would write to hold the same row.
struct RawRow {
    int id, kelmarchId, archGroupId, flags, appId, fileType, cTime, jobId, backupLevel, isValid, cloudId,
        contentIndexTime, nPushedItems;
    char name[8193];
    char objName1[2049];
};

void copyText(sqlite3_stmt* st, int col, char* dst, size_t size) {
    const unsigned char* t = sqlite3_column_text(st, col);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(st, col));
    if (n >= size) n = size - 1;
    if (t) std::memcpy(dst, t, n);
    dst[n] = 0;
}

void BM_ArchFileRawStep(benchmark::State& state) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db().path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    const char* sql =
        "SELECT id, name, kelmarchId, archGroupId, objName1, flags, appId, fileType, cTime, jobId, "
        "backupLevel, isValid, "
        "cloudId, contentIndexTime, nPushedItems FROM archFile ORDER BY id, kelmarchId";
    static RawRow r;
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, sql, -1, &st, nullptr);
        long long sum = 0;
        int rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            r.id = sqlite3_column_int(st, 0);
            copyText(st, 1, r.name, sizeof r.name);
            r.kelmarchId = sqlite3_column_int(st, 2);
            r.archGroupId = sqlite3_column_int(st, 3);
            copyText(st, 4, r.objName1, sizeof r.objName1);
            r.flags = sqlite3_column_int(st, 5);
            r.appId = sqlite3_column_int(st, 6);
            r.fileType = sqlite3_column_int(st, 7);
            r.cTime = sqlite3_column_int(st, 8);
            r.jobId = sqlite3_column_int(st, 9);
            r.backupLevel = sqlite3_column_int(st, 10);
            r.isValid = sqlite3_column_int(st, 11);
            r.cloudId = sqlite3_column_int(st, 12);
            r.contentIndexTime = sqlite3_column_int(st, 13);
            r.nPushedItems = sqlite3_column_int(st, 14);
            sum += r.id + r.name[0];
            ++rows;
        }
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(sum);
        if (rows != kRows) state.SkipWithError("wrong row count");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    sqlite3_close_v2(h);
}

BENCHMARK(BM_ArchFileThroughFamily)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArchFileRawStep)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return hubbench::runWithRatios(
        argc, argv,
        {{"BM_ArchFileThroughFamily", "BM_ArchFileRawStep", "row family / raw sqlite3_step", 1.5}});
}
