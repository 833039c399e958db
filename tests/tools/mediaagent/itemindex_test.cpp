// The item index against an oracle: every version read straight from the SQLite file and the browse
// rules applied by brute force (newest version at or before the time within the cycles, deletions left
// out, names in order), for directories at points in time, ranges, pages, counts and name filters.
#include "tools/mediaagent/itemindex.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "tests/tools/mediaagent/mediaagent_world.h"
#include "tools/mediaagent/peerrule.h"

namespace {

using mediaagent::CItemIndex;
using mediaagent::TBrowseQuery;
using mediaagent::TItemVersion;

struct TRow {
    int64_t entry, parent;
    std::string name;
    int64_t btime;
    int cycle;
    uint64_t flags;
};

// Every version of the index in memory, and the browse rules over it.
class COracle {
public:
    explicit COracle(const std::string& path) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT e.id, e.parent, e.name, i.btime, i.cycle, i.flags FROM entries e "
                           "JOIN items i ON i.entry = e.id",
                           -1, &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW)
            rows.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                            reinterpret_cast<const char*>(sqlite3_column_text(s, 2)),
                            sqlite3_column_int64(s, 3), sqlite3_column_int(s, 4),
                            static_cast<uint64_t>(sqlite3_column_int64(s, 5))});
        sqlite3_finalize(s);
        sqlite3_close(db);
    }

    // (entry, backup time) of the answer, in order.
    using TAnswer = std::vector<std::pair<int64_t, int64_t>>;

    TAnswer at(int64_t dir, int64_t t, const std::vector<int>& cycles, const std::string& glob = "") const {
        std::map<std::string, const TRow*> newest;
        for (const TRow& r : rows)
            if (r.parent == dir && r.btime <= t && inCycles(r, cycles) && matches(r, glob)) {
                const TRow*& n = newest[r.name];
                if (!n || n->btime < r.btime) n = &r;
            }
        TAnswer out;
        for (const auto& [name, r] : newest)
            if (!(r->flags & mediaagent::kItemDeleted)) out.emplace_back(r->entry, r->btime);
        return out;
    }

    TAnswer range(int64_t dir, int64_t from, int64_t to, const std::string& glob = "") const {
        std::vector<const TRow*> hits;
        for (const TRow& r : rows)
            if (r.parent == dir && r.btime >= from && r.btime <= to && matches(r, glob)) hits.push_back(&r);
        std::sort(hits.begin(), hits.end(), [](const TRow* a, const TRow* b) {
            return std::tie(a->name, a->btime) < std::tie(b->name, b->btime);
        });
        TAnswer out;
        for (const TRow* r : hits) out.emplace_back(r->entry, r->btime);
        return out;
    }

    int64_t child(int64_t dir, const std::string& name) const {
        for (const TRow& r : rows)
            if (r.parent == dir && r.name == name) return r.entry;
        return 0;
    }

    std::vector<TRow> rows;

private:
    static bool inCycles(const TRow& r, const std::vector<int>& cycles) {
        return std::find(cycles.begin(), cycles.end(), r.cycle) != cycles.end();
    }
    static bool matches(const TRow& r, const std::string& glob) {
        return glob.empty() || fnmatch(glob.c_str(), r.name.c_str(), 0) == 0;
    }
};

COracle::TAnswer answerOf(const std::vector<TItemVersion>& versions) {
    COracle::TAnswer out;
    for (const TItemVersion& v : versions) out.emplace_back(v.entry, v.backupTime);
    return out;
}

COracle::TAnswer slice(const COracle::TAnswer& all, size_t skip, size_t size) {
    if (skip >= all.size()) return {};
    return COracle::TAnswer(all.begin() + static_cast<long>(skip),
                            all.begin() + static_cast<long>(std::min(all.size(), skip + size)));
}

class ItemIndex : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_world = new hubtest::CMediaAgentWorld("itemindex-test");
        ASSERT_TRUE(s_world->ok()) << s_world->error();
        ASSERT_TRUE(s_world->build("items.db", hubtest::CMediaAgentWorld::testScale())) << s_world->error();
        s_oracle = new COracle(s_world->path("items.db"));
    }
    static void TearDownTestSuite() {
        delete s_oracle;
        delete s_world;
    }
    void SetUp() override {
        std::string error;
        m_index = CItemIndex::open(s_world->path("items.db"), error);
        ASSERT_TRUE(m_index) << error;
        ASSERT_TRUE(m_index->subclient(s_world->world.legacy.subclient, m_sub)) << m_index->lastError();
        ASSERT_TRUE(m_index->jobs(m_sub.appId, m_jobs));
        ASSERT_EQ(m_jobs.size(), 12u);
    }

    TBrowseQuery query(const std::string& path, int64_t toTime) const {
        TBrowseQuery q;
        q.appId = m_sub.appId;
        q.path = path;
        q.toTime = toTime;
        return q;
    }
    int64_t entryOf(const std::string& path) {
        TItemVersion v;
        bool found = false;
        EXPECT_TRUE(m_index->resolve(m_sub.appId, path, v, found));
        EXPECT_TRUE(found) << path;
        return v.entry;
    }
    // The times a browse is asked at: before the first job, at a job, between jobs, and "now".
    std::vector<int64_t> times() const {
        return {m_jobs[0].time - 1,
                m_jobs[0].time,
                m_jobs[3].time + 100,
                m_jobs[5].time,
                m_jobs[6].time,
                m_jobs[9].time + 1,
                0};
    }

    static hubtest::CMediaAgentWorld* s_world;
    static COracle* s_oracle;
    std::unique_ptr<CItemIndex> m_index;
    mediaagent::TIndexSubclient m_sub;
    std::vector<mediaagent::TIndexJob> m_jobs;
};
hubtest::CMediaAgentWorld* ItemIndex::s_world = nullptr;
COracle* ItemIndex::s_oracle = nullptr;

TEST_F(ItemIndex, AgreesWithTheHubmasterOnJobsCyclesAndArchiveFiles) {
    const mediaagent::TSubclientPlan& plan = s_world->plan.subclients.front();
    EXPECT_EQ(s_world->plan.versionText, "9.0");
    ASSERT_EQ(s_world->plan.subclients.size(), 1u);
    for (size_t j = 0; j < m_jobs.size(); ++j) {
        EXPECT_EQ(m_jobs[j].jobId, plan.jobs[j].jobId);
        EXPECT_EQ(m_jobs[j].cycle, j < 6 ? 1 : 2);
        EXPECT_EQ(m_jobs[j].full, j % 6 == 0);
    }
    std::vector<mediaagent::TIndexArchiveFile> files;
    ASSERT_TRUE(m_index->archiveFiles(m_sub.appId, 0, 0, {}, files));
    ASSERT_EQ(files.size(), plan.archiveFiles.size());
    for (size_t k = 0; k < files.size(); ++k) EXPECT_EQ(files[k].id, plan.archiveFiles[k].id);
    ASSERT_TRUE(m_index->archiveFiles(m_sub.appId, 0, 0, {2}, files));
    EXPECT_EQ(files.size(), 12u);  // six jobs of cycle 2, a data and an index file each

    // The same plan and scale give the same index.
    ASSERT_TRUE(s_world->build("again.db", hubtest::CMediaAgentWorld::testScale()));
    EXPECT_TRUE(mediaagent::itemIndexIsCurrent(s_world->path("again.db"), s_world->plan,
                                               hubtest::CMediaAgentWorld::testScale()));
    const COracle again(s_world->path("again.db"));
    ASSERT_EQ(again.rows.size(), s_oracle->rows.size());
    for (size_t k = 0; k < again.rows.size(); k += 97) {
        EXPECT_EQ(again.rows[k].name, s_oracle->rows[k].name);
        EXPECT_EQ(again.rows[k].btime, s_oracle->rows[k].btime);
        EXPECT_EQ(again.rows[k].flags, s_oracle->rows[k].flags);
    }
}

TEST_F(ItemIndex, DirectoriesAtAPointInTimeAndTheirCounts) {
    // The generated data holds what the rules are about: deletions and files born late.
    EXPECT_GT(std::count_if(s_oracle->rows.begin(), s_oracle->rows.end(),
                            [](const TRow& r) { return (r.flags & mediaagent::kItemDeleted) != 0; }),
              10);
    EXPECT_NE(s_oracle->at(entryOf("/big"), m_jobs[1].time, {1}).size(),
              s_oracle->at(entryOf("/big"), m_jobs[5].time, {1}).size());
    for (const std::string path : {"/", "/big", "/d00", "/d01/d02", "/d00/d00/d01"}) {
        const int64_t dir = entryOf(path);
        for (int64_t t : times()) {
            const int64_t at = t == 0 ? INT64_MAX : t;
            const int cycle = m_index->cycleAt(m_sub.appId, at);
            const COracle::TAnswer expected =
                cycle < 0 ? COracle::TAnswer{} : s_oracle->at(dir, at, std::vector<int>{cycle});
            std::vector<TItemVersion> got;
            bool found = false;
            ASSERT_TRUE(m_index->listAt(query(path, t), got, found)) << m_index->lastError();
            ASSERT_TRUE(found);
            EXPECT_EQ(answerOf(got), expected) << path << " at " << t;
            int64_t count = -1;
            ASSERT_TRUE(m_index->countAt(query(path, t), count, found));
            EXPECT_EQ(count, static_cast<int64_t>(expected.size())) << path << " at " << t;
            for (const TItemVersion& v : got) EXPECT_EQ(v.path, (path == "/" ? "" : path) + "/" + v.name);
        }
    }
    // A directory before the first backup, and a path that names nothing.
    std::vector<TItemVersion> got;
    bool found = false;
    ASSERT_TRUE(m_index->listAt(query("/big", m_jobs[0].time - 1), got, found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(m_index->listAt(query("/no/such", 0), got, found));
    EXPECT_FALSE(found);

    // Explicit cycles: both cycles at the end of the second see deletions of the first cycle undone by
    // nothing, so the answer is the newest version over both.
    TBrowseQuery both = query("/big", 0);
    both.cycles = {1, 2};
    ASSERT_TRUE(m_index->listAt(both, got, found));
    EXPECT_EQ(answerOf(got), s_oracle->at(entryOf("/big"), INT64_MAX, {1, 2}));
    TBrowseQuery first = query("/big", 0);
    first.cycles = {1};
    ASSERT_TRUE(m_index->listAt(first, got, found));
    EXPECT_EQ(answerOf(got), s_oracle->at(entryOf("/big"), INT64_MAX, {1}));
    int64_t count = 0;
    ASSERT_TRUE(m_index->countAt(first, count, found));
    EXPECT_EQ(count, static_cast<int64_t>(got.size()));
}

TEST_F(ItemIndex, PagesBySkipAndByFirstNode) {
    const int64_t dir = entryOf("/big");
    for (int64_t t : {m_jobs[2].time, m_jobs[11].time}) {
        const COracle::TAnswer all = s_oracle->at(dir, t, {m_index->cycleAt(m_sub.appId, t)});
        ASSERT_GT(all.size(), 2u * mediaagent::kPageMarkStride);
        for (uint32_t skip :
             {0u, 1u, 255u, 256u, 257u, 300u, 511u, 512u, 600u, static_cast<uint32_t>(all.size()) - 1,
              static_cast<uint32_t>(all.size()), 5000u}) {
            TBrowseQuery q = query("/big", t);
            q.skip = skip;
            q.pageSize = 50;
            std::vector<TItemVersion> got;
            bool found = false;
            ASSERT_TRUE(m_index->listAt(q, got, found)) << m_index->lastError();
            EXPECT_EQ(answerOf(got), slice(all, skip, 50)) << "skip " << skip;
        }
        // Walking page by page from each page's last node gives the whole listing once.
        COracle::TAnswer walked;
        TBrowseQuery q = query("/big", t);
        q.pageSize = 97;
        for (;;) {
            std::vector<TItemVersion> got;
            bool found = false;
            ASSERT_TRUE(m_index->listAt(q, got, found));
            for (const TItemVersion& v : got) walked.emplace_back(v.entry, v.backupTime);
            if (got.size() < q.pageSize) break;
            q.firstNode = got.back().entry;
            q.skip = 1;
        }
        EXPECT_EQ(walked, all);
    }
    // A first node that is not a child of the directory is refused.
    TBrowseQuery q = query("/big", 0);
    q.firstNode = entryOf("/d00");
    std::vector<TItemVersion> got;
    bool found = false;
    EXPECT_FALSE(m_index->listAt(q, got, found));
}

TEST_F(ItemIndex, NameFilters) {
    for (const std::string path : {"/big", "/d01/d00/d00"}) {
        const int64_t dir = entryOf(path);
        for (const std::string glob : {"*7.dat", "b00001*", "*", "nothing*"}) {
            TBrowseQuery q = query(path, 0);
            q.nameFilter = glob;
            std::vector<TItemVersion> got;
            bool found = false;
            ASSERT_TRUE(m_index->listAt(q, got, found));
            const COracle::TAnswer expected = s_oracle->at(dir, INT64_MAX, {2}, glob == "*" ? "" : glob);
            EXPECT_EQ(answerOf(got), expected) << path << " " << glob;
            int64_t count = -1;
            ASSERT_TRUE(m_index->countAt(q, count, found));
            EXPECT_EQ(count, static_cast<int64_t>(expected.size()));
            q.skip = 3;
            q.pageSize = 5;
            ASSERT_TRUE(m_index->listAt(q, got, found));
            EXPECT_EQ(answerOf(got), slice(expected, 3, 5));
        }
    }
}

TEST_F(ItemIndex, RangesOfVersionsAndTheVersionsOfOneFile) {
    for (const std::string path : {"/big", "/d02"}) {
        const int64_t dir = entryOf(path);
        for (auto [from, to] : {std::pair<int64_t, int64_t>{m_jobs[1].time, m_jobs[4].time},
                                {m_jobs[0].time, 0},
                                {m_jobs[5].time + 1, m_jobs[8].time}}) {
            const COracle::TAnswer all = s_oracle->range(dir, from, to == 0 ? INT64_MAX : to);
            TBrowseQuery q = query(path, to);
            q.fromTime = from;
            std::vector<TItemVersion> got;
            bool found = false;
            ASSERT_TRUE(m_index->listRange(q, got, found)) << m_index->lastError();
            EXPECT_EQ(answerOf(got), all);
            int64_t count = -1;
            ASSERT_TRUE(m_index->countRange(q, count, found));
            EXPECT_EQ(count, static_cast<int64_t>(all.size()));
            // Continuing from each page's last version (its entry and its place among that entry's
            // versions) walks the same range.
            COracle::TAnswer walked;
            q.pageSize = 7;
            for (;;) {
                ASSERT_TRUE(m_index->listRange(q, got, found));
                for (const TItemVersion& v : got) walked.emplace_back(v.entry, v.backupTime);
                if (got.size() < q.pageSize) break;
                q.firstNode = got.back().entry;
                q.skip = got.back().rangeOrdinal;
            }
            EXPECT_EQ(walked, all);
        }
    }
    // A path that names a file lists that file's versions across every cycle: the file of /big with
    // the most versions.
    const int64_t big = entryOf("/big");
    std::map<int64_t, COracle::TAnswer> byFile;
    for (const auto& v : s_oracle->range(big, 0, INT64_MAX)) byFile[v.first].push_back(v);
    int64_t file = 0;
    for (const auto& [entry, versions] : byFile)
        if (!file || versions.size() > byFile[file].size()) file = entry;
    const COracle::TAnswer expected = byFile[file];
    std::string name;
    for (const TRow& r : s_oracle->rows)
        if (r.entry == file) name = r.name;
    TBrowseQuery q = query("/big/" + name, 0);
    std::vector<TItemVersion> got;
    bool found = false;
    ASSERT_TRUE(m_index->listRange(q, got, found));
    ASSERT_TRUE(found);
    EXPECT_EQ(answerOf(got), expected);
    EXPECT_GE(got.size(), 4u);
    ASSERT_TRUE(m_index->listAt(q, got, found));
    ASSERT_LE(got.size(), 1u);
}

// A connection keeps the paths it resolved: asked again, written with the other separator, after a miss
// below them, and after more paths than it keeps, each names the oracle's entry; a path that names
// nothing leaves no entry. Jobs and subclients kept alike answer as the file does.
TEST_F(ItemIndex, PathsJobsAndSubclientsKeptByAConnectionAnswerAsTheFile) {
    const int64_t root = m_sub.rootEntry;
    const int64_t d01 = s_oracle->child(root, "d01");
    const int64_t d0102 = s_oracle->child(d01, "d02");
    const int64_t big = s_oracle->child(root, "big");
    const TRow& fileRow = *std::find_if(s_oracle->rows.begin(), s_oracle->rows.end(),
                                        [&](const TRow& r) { return r.parent == big; });
    const std::string file = "/big/" + fileRow.name;
    auto check = [&](const std::string& path, int64_t entry, int64_t parent) {
        TItemVersion v;
        bool found = false;
        ASSERT_TRUE(m_index->resolve(m_sub.appId, path, v, found)) << m_index->lastError();
        EXPECT_EQ(found, entry != 0) << path;
        EXPECT_EQ(v.entry, entry) << path;
        EXPECT_EQ(v.parent, parent) << path;
    };
    for (int round = 0; round < 2; ++round) {
        check("/d01/d02", d0102, d01);
        check("\\d01\\d02\\", d0102, d01);
        check(file, fileRow.entry, big);
        check(file + "/below/a/file", 0, 0);
        check("/d01/nothing/d02", 0, 0);
        check("/", root, 0);
    }
    TItemVersion v;
    bool found = false;
    for (int n = 0; n < 5000; ++n)
        ASSERT_TRUE(m_index->resolve(m_sub.appId, "/x" + std::to_string(n), v, found));
    check("/d01/d02", d0102, d01);
    EXPECT_FALSE(m_index->resolve(987654, "/d01", v, found));
    EXPECT_NE(m_index->lastError().find("987654"), std::string::npos);

    std::vector<mediaagent::TIndexJob> again;
    ASSERT_TRUE(m_index->jobs(m_sub.appId, again));
    ASSERT_EQ(again.size(), m_jobs.size());
    for (size_t j = 0; j < again.size(); ++j) {
        EXPECT_EQ(again[j].jobId, m_jobs[j].jobId);
        EXPECT_EQ(m_index->cycleAt(m_sub.appId, m_jobs[j].time), m_jobs[j].cycle);
    }
    EXPECT_EQ(m_index->cycleAt(m_sub.appId, m_jobs.front().time - 1), -1);
    EXPECT_TRUE(m_index->jobs(987654, again));
    EXPECT_TRUE(again.empty());
    std::vector<mediaagent::TIndexSubclient> subs;
    ASSERT_TRUE(m_index->subclients(subs));
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs.front().rootEntry, root);
}

// A file made again at the same path is read afresh by the next lease, while a lease held across the
// build (holding the old file's lock) is no obstacle to it and still reads the old file whole.
TEST_F(ItemIndex, AFileMadeAgainAtItsPathIsReadAfreshWhileHeldLeasesKeepTheOld) {
    const std::string path = s_world->path("remade.db");
    mediaagent::TIndexScale smaller = hubtest::CMediaAgentWorld::testScale();
    smaller.files = 1200;
    smaller.bigDirectoryFiles = 300;
    ASSERT_TRUE(s_world->build("remade.db", hubtest::CMediaAgentWorld::testScale())) << s_world->error();
    std::string error;
    auto bigCount = [&](CItemIndex& index) {
        int64_t count = -1;
        bool found = false;
        EXPECT_TRUE(index.countAt(query("/big", 0), count, found)) << index.lastError();
        return count;
    };
    mediaagent::TItemIndexLease held = mediaagent::lendItemIndex(path, error);
    ASSERT_TRUE(held) << error;
    const int64_t before = bigCount(*held);
    ASSERT_GT(before, 300);
    CItemIndex* old = held.get();

    ASSERT_TRUE(s_world->build("remade.db", smaller)) << s_world->error();
    mediaagent::TItemIndexLease fresh = mediaagent::lendItemIndex(path, error);
    ASSERT_TRUE(fresh) << error;
    EXPECT_NE(fresh.get(), old);
    EXPECT_EQ(fresh->metaValue("scale"), smaller.text());
    EXPECT_LE(bigCount(*fresh), 300);
    EXPECT_EQ(bigCount(*held), before);
}

}  // namespace

// A signed request is answered once while it is fresh; its memory is let go once it is stale anyway, and
// a request signed ahead of this clock is kept until it is stale here.
TEST(SignatureLedger, EachSignatureOnceWhileFresh) {
    CHubManualClock clock;
    const long long now = clock.epochSeconds();
    mediaagent::CSignatureLedger ledger(now - 2000, clock);
    EXPECT_TRUE(ledger.firstUse("aa01", now, 300));
    EXPECT_FALSE(ledger.firstUse("aa01", now, 300));
    EXPECT_TRUE(ledger.firstUse("aa02", now, 300));
    // Signed long ago: forgotten at once, so the map does not grow with stale requests.
    EXPECT_TRUE(ledger.firstUse("old", now - 1000, 300));
    EXPECT_TRUE(ledger.firstUse("next", now, 300));
    EXPECT_TRUE(ledger.firstUse("old", now - 1000, 300));
    // Signed ahead of this clock: still remembered.
    EXPECT_TRUE(ledger.firstUse("ahead", now + 250, 300));
    EXPECT_FALSE(ledger.firstUse("ahead", now + 250, 300));
    // Once stale here, a signature is let go: the age check refuses it from then on.
    clock.advance(std::chrono::seconds(301));
    EXPECT_TRUE(ledger.firstUse("aa01", now, 300));
    EXPECT_FALSE(ledger.firstUse("ahead", now + 250, 300));
}

// The ledger is this run's alone: a request signed before the agent started may have been answered by an
// earlier run, so it is refused however fresh it is.
TEST(SignatureLedger, RequestsSignedBeforeTheAgentStartedAreRefused) {
    const long long now = static_cast<long long>(time(nullptr));
    mediaagent::CSignatureLedger ledger(now);
    EXPECT_FALSE(ledger.firstUse("before", now - 5, 300));
    EXPECT_TRUE(ledger.firstUse("after", now, 300));
}

// The Hubmaster database (with its journal files) and an item index list every backed-up item: other
// local users may read neither, whatever the umask of the process that made them.
TEST(PrivateFiles, TheCatalogueAndTheItemIndexAreTheOwnersAlone) {
    const mode_t previous = umask(022);
    {
        hubtest::CMediaAgentWorld world("private-files");
        ASSERT_TRUE(world.ok()) << world.error();
        ASSERT_TRUE(world.build("items.db", hubtest::CMediaAgentWorld::testScale())) << world.error();
        int seen = 0;
        for (const std::string& file :
             {world.hubDb(), world.hubDb() + "-wal", world.hubDb() + "-shm", world.path("items.db")}) {
            struct stat st;
            if (stat(file.c_str(), &st) != 0) continue;  // the journal files may be gone once closed
            ++seen;
            EXPECT_EQ(st.st_mode & 077, 0u) << file << " has mode " << std::oct << (st.st_mode & 0777);
        }
        EXPECT_GE(seen, 2);
    }
    umask(previous);
}
