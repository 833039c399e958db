// The archive-file procedures over a seeded world: cycles of a window, the three result sets, copies
// and media agents, running and aged files, several subclients, the VM parent browse, and the older
// per-subclient listing.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "Db/Proc/archFileByTime.h"
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbtable.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/archivefiles.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/platform/db/tempdir.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

constexpr int D = 86400;
constexpr int T = 1700000000;

// (result set, archive file, cycle)
using Row = std::tuple<int, int, int>;

class ArchProcs : public ::testing::Test {
protected:
    void SetUp() override {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        ma1 = seed.addMediaAgent({.name = "ma1"}, "11.0", 1);
        ma2 = seed.addMediaAgent({.name = "ma2"}, "9.0", 0);
        int sp = seed.addStoragePolicy("sp", ma1);
        seed.addCopy(sp, 2, ma2);
        int client = seed.addClient({.name = "client"});
        bs = seed.addBackupSet("bs");
        sA = seed.addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "a", .storagePolicyId = sp});
        sB = seed.addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "b", .storagePolicyId = sp});
        j1 = seed.addBackup(sA, 1, T, 2);  // cycle 1
        j2 = seed.addBackup(sA, 2, T + D);
        j3 = seed.addBackup(sA, 1, T + 2 * D);  // cycle 2
        j4 = seed.addBackup(sA, 2, T + 3 * D);
        j5 = seed.addBackup(sA, 2, T + 4 * D, 1, false, true);  // running
        b1 = seed.addBackup(sB, 1, T + 10);
        seed.ageArchFile(j1.dataFiles[0], 1);

        // A hypervisor backup set with two virtual machines.
        int hv = seed.addClient({.name = "hv"});
        vmParent = seed.addBackupSet("vms");
        vsa = seed.addSubclient(
            {.clientId = hv, .appTypeId = 106, .backupSetId = vmParent, .storagePolicyId = sp});
        for (const char* guid : {"VM-GUID-1", "VM-GUID-2"}) {
            int vm = seed.addClient({.name = guid, .guid = guid});
            int child = seed.addBackupSet(guid);
            seed.linkVirtualMachine(vm, vmParent, child);
        }
        vsaJob = seed.addBackup(vsa, 1, T + 50);
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), DB_OK);
    }
    void TearDown() override {
        DBtable::b_newDBBase = true;
        zydb::CDbEnv::close();
    }

    std::vector<Row> superBrowse(int subclient, int from, int to, int copy, int ignoreRunning,
                                 const char* xml = "", int backupSet = 0,
                                 std::vector<ArchFileByTimeSuperBrowse_t>* rows = nullptr) {
        ArchFileByTimeSuperBrowse p(nullptr);
        p.setValues(29, 0, backupSet, subclient, from, to, copy, ignoreRunning, 0, 0, xml);
        std::vector<Row> out;
        int rc;
        while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) {
            const auto* r = p.getDataPtr();
            out.emplace_back(r->r_resultSetId, r->r_afileId, r->r_fullCycleNum);
            if (rows) rows->push_back(*r);
        }
        EXPECT_EQ(rc, DB_NO_DATA) << p.getErrorStr(rc);
        return out;
    }

    TempDir dir;
    int ma1 = 0, ma2 = 0, bs = 0, sA = 0, sB = 0, vmParent = 0, vsa = 0;
    hubdb::HubDbSeed::Backup j1, j2, j3, j4, j5, b1, vsaJob;
};

}  // namespace

TEST_F(ArchProcs, CyclesOfAWindowInThreeResultSets) {
    std::vector<ArchFileByTimeSuperBrowse_t> rows;
    auto got = superBrowse(sA, T + D + 10, T + 3 * D + 100, 0, 1, "", 0, &rows);
    std::vector<Row> want = {// cycles, oldest first, each named by its newest data file
                             {1, j2.dataFiles[0], 1},
                             {1, j4.dataFiles[0], 2},
                             // the other data files
                             {2, j1.dataFiles[0], 1},
                             {2, j1.dataFiles[1], 1},
                             {2, j3.dataFiles[0], 2},
                             // the index files
                             {3, j1.indexFile, 1},
                             {3, j2.indexFile, 1},
                             {3, j3.indexFile, 2},
                             {3, j4.indexFile, 2}};
    EXPECT_EQ(got, want);
    ASSERT_EQ(rows.size(), want.size());
    const auto& cycle = rows[0];
    EXPECT_EQ(cycle.r_appId, sA);
    EXPECT_EQ(cycle.r_jobId, j2.jobId);
    EXPECT_EQ(cycle.r_fileType, 1);
    EXPECT_EQ(cycle.r_createTime, T + D);
    EXPECT_EQ(cycle.r_kelmarchId, hubdb::kDefaultKelmarchId);
    EXPECT_EQ(cycle.r_mediaAgentId, ma1);
    EXPECT_STREQ(cycle.r_mediaAgentVersion, "11.0");
    EXPECT_EQ(cycle.r_idxCacheSoftState, 1);
    EXPECT_EQ(cycle.r_isRunningJob, 0);
    EXPECT_STREQ(cycle.r_VMGUID, "");
    EXPECT_EQ(rows[2].r_isAged, 1);  // aged on the primary copy
    EXPECT_EQ(rows[3].r_isAged, 0);

    // A window inside the second cycle leaves the first one out.
    EXPECT_EQ(
        superBrowse(sA, T + 2 * D + 5, T + 3 * D + 100, 0, 1),
        (std::vector<Row>{
            {1, j4.dataFiles[0], 2}, {2, j3.dataFiles[0], 2}, {3, j3.indexFile, 2}, {3, j4.indexFile, 2}}));
    // A window before every backup: nothing, and 100 at once.
    EXPECT_TRUE(superBrowse(sA, T - 100, T - 1, 0, 1).empty());
}

TEST_F(ArchProcs, RunningJobsCopiesAndSubclientLists) {
    // Open end and running jobs taken: the running job's file names the second cycle.
    std::vector<ArchFileByTimeSuperBrowse_t> rows;
    auto got = superBrowse(sA, T + 3 * D, 0, 0, 0, "", 0, &rows);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], (Row{1, j5.dataFiles[0], 2}));
    EXPECT_EQ(rows[0].r_isRunningJob, 1);
    got = superBrowse(sA, T + 3 * D, 0, 0, 1);
    EXPECT_EQ(got[0], (Row{1, j4.dataFiles[0], 2}));

    // The second copy lives on the older media agent.
    rows.clear();
    superBrowse(sA, 0, T + D + 100, 2, 1, "", 0, &rows);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].r_mediaAgentId, ma2);
    EXPECT_STREQ(rows[0].r_mediaAgentVersion, "9.0");
    EXPECT_EQ(rows[0].r_idxCacheSoftState, 0);
    EXPECT_EQ(rows[0].r_isAged, 0);
    EXPECT_TRUE(superBrowse(sA, 0, T + D + 100, 3, 1).empty());  // no third copy

    // Two subclients: the first as argument, the second in the XML; rows of both, sets first.
    std::string xml = "<InputParam><AppIdPST id=\"" + std::to_string(sB) + "\"/></InputParam>";
    got = superBrowse(sA, 0, T + 100, 0, 1, xml.c_str());
    EXPECT_EQ(got, (std::vector<Row>{{1, j1.dataFiles[1], 1},
                                     {1, b1.dataFiles[0], 1},
                                     {2, j1.dataFiles[0], 1},
                                     {3, j1.indexFile, 1},
                                     {3, b1.indexFile, 1}}));
    // No subclient: every subclient of the backup set.
    EXPECT_EQ(superBrowse(0, 0, T + 100, 0, 1, "", bs), got);

    // A malformed XML is an error, not an empty answer.
    ArchFileByTimeSuperBrowse p(nullptr);
    p.setValues(29, 0, 0, sA, 0, 0, 0, 1, 0, 0, "<InputParam><AppIdPST");
    int rc = getNextRow(&p, nullptr, -1, 0);
    EXPECT_NE(rc, DB_OK);
    EXPECT_NE(rc, DB_NO_DATA);
}

TEST_F(ArchProcs, VirtualMachinesOfAParentBrowse) {
    const char* parent = "<InputParam><VSAV2ParentBrowse>1</VSAV2ParentBrowse></InputParam>";
    std::vector<ArchFileByTimeSuperBrowse_t> rows;
    superBrowse(vsa, 0, T + 1000, 0, 1, parent, vmParent, &rows);
    std::vector<std::string> guids;
    for (const auto& r : rows)
        if (r.r_VMGUID[0]) guids.push_back(r.r_VMGUID);
    EXPECT_EQ(guids, (std::vector<std::string>{"VM-GUID-1", "VM-GUID-2"}));
    // Without the parent XML no row carries a VM GUID.
    rows.clear();
    superBrowse(vsa, 0, T + 1000, 0, 1, "", vmParent, &rows);
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) EXPECT_STREQ(r.r_VMGUID, "");
}

TEST_F(ArchProcs, ThePrintedPathGivesTheSameRows) {
    auto bound = superBrowse(sA, T + D + 10, T + 3 * D + 100, 0, 1);
    DBtable::b_newDBBase = false;
    EXPECT_EQ(superBrowse(sA, T + D + 10, T + 3 * D + 100, 0, 1), bound);
    std::string xml = "<InputParam><AppIdPST id=\"" + std::to_string(sB) + "\"/></InputParam>";
    EXPECT_EQ(superBrowse(sA, 0, T + 100, 0, 1, xml.c_str()).size(), 5u);
}

TEST_F(ArchProcs, ArchFileByTimeListsNewestFirstWithSizes) {
    ArchFileByTime p(nullptr);
    p.setValues(0, sA, 0, T + 2 * D + 100, 0, 0, 0, 0, 0, 1);
    std::vector<int> ids;
    std::vector<ArchFileByTime_t> rows;
    int rc;
    while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) {
        ids.push_back(p.getDataPtr()->r_afileId);
        rows.push_back(*p.getDataPtr());
    }
    EXPECT_EQ(rc, DB_NO_DATA);
    EXPECT_EQ(ids, (std::vector<int>{j3.indexFile, j3.dataFiles[0], j2.indexFile, j2.dataFiles[0],
                                     j1.indexFile, j1.dataFiles[1], j1.dataFiles[0]}));
    EXPECT_EQ(rows[1].r_fileType, 1);
    EXPECT_EQ(rows[1].r_jobId, j3.jobId);
    EXPECT_EQ(rows[1].r_backupLevel, 1);
    EXPECT_EQ(rows[1].r_physicalSize, 1000);
    EXPECT_EQ(rows[1].r_logicalSize, 4000);
    EXPECT_EQ(rows[5].r_physicalSize, 2000);
    EXPECT_GT(rows[1].r_copyId, 0);

    // The open end takes everything but the running job.
    p.setValues(0, sA, 0, 0, 0, 0, 0, 0, 0, 1);
    ASSERT_EQ(getNextRow(&p, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(p.getDataPtr()->r_afileId, j4.indexFile);
}

TEST_F(ArchProcs, PrecedenceZeroIsTheDefaultCopy) {
    // The policy's default copy is its primary one: precedence 0 reads it, with j1's data aged there.
    std::vector<ArchFileByTimeSuperBrowse_t> rows;
    superBrowse(sA, 0, T + 100, 0, 1, "", 0, &rows);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].r_mediaAgentId, ma1);
    EXPECT_EQ(rows[1].r_isAged, 1);

    // Once the second copy is the default, precedence 0 reads that copy, on the other media agent.
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        int sp = static_cast<int>(seed.queryInt("SELECT archGroupId FROM archFile WHERE id = ?",
                                                {zydb::DbValue::ofInt(j1.indexFile)}));
        ASSERT_EQ(seed.setDefaultCopy(sp, seed.copyId(sp, 2)), 0) << seed.error();
    }
    rows.clear();
    superBrowse(sA, 0, T + 100, 0, 1, "", 0, &rows);
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& r : rows) {
        EXPECT_EQ(r.r_mediaAgentId, ma2);
        EXPECT_EQ(r.r_isAged, 0);
    }
    ArchFileByTime p(nullptr);
    p.setValues(0, sA, 0, T + 100, 0, 0, 0, 0, 0, 1);
    ASSERT_EQ(getNextRow(&p, nullptr, -1, 0), DB_OK);
    const int defaultCopy = p.getDataPtr()->r_copyId;
    p.setValues(0, sA, 0, T + 100, 0, 0, 2, 0, 0, 1);
    ASSERT_EQ(getNextRow(&p, nullptr, -1, 0), DB_OK);
    EXPECT_EQ(p.getDataPtr()->r_copyId, defaultCopy);
    p.setValues(0, sA, 0, T + 100, 0, 0, 1, 0, 0, 1);
    ASSERT_EQ(getNextRow(&p, nullptr, -1, 0), DB_OK);
    EXPECT_NE(p.getDataPtr()->r_copyId, defaultCopy);
}

namespace {

// One request reads a subclient's files once: a backup made meanwhile shows in the next request, in a
// transaction of this thread, and on other threads, never half-way through this request.
TEST_F(ArchProcs, ARequestReadsASubclientsFilesOnce) {
    auto fileCount = [&] {
        ArchFileByTime p(nullptr);
        p.setValues(0, sB, 0, 0, 0, 0, 0, 0, 0, 1);
        size_t n = 0;
        int rc;
        while ((rc = getNextRow(&p, nullptr, -1, 0)) == DB_OK) ++n;
        EXPECT_EQ(rc, DB_NO_DATA);
        return n;
    };
    const size_t before = fileCount();
    ASSERT_GT(before, 0u);
    {
        zydb::CRequestReads request;
        EXPECT_EQ(fileCount(), before);
        {
            hubdb::HubDbSeed seed(dir.file("hub.db"));
            // A later file of b1's job, on the policy of sB's files (a new seed object does not know it).
            hubdb::ArchFileSeed f;
            f.appId = sB;
            f.jobId = b1.jobId;
            f.fileType = 1;
            f.cTime = T + 20 * D;
            f.storagePolicyId = static_cast<int>(seed.queryInt(
                "SELECT archGroupId FROM archFile WHERE appId = ? LIMIT 1", {zydb::DbValue::ofInt(sB)}));
            ASSERT_GT(seed.addArchFile(f), 0) << seed.error();
        }
        EXPECT_EQ(fileCount(), before);
        size_t onOtherThread = 0;
        std::thread([&] { onOtherThread = fileCount(); }).join();
        EXPECT_GT(onOtherThread, before);
        DBtran tran(true);
        ASSERT_TRUE(tran.isOpen());
        std::vector<hubdb::ArchiveFileOnCopy> inTransaction;
        ASSERT_EQ(hubdb::listArchiveFiles(*tran.tranConnection(), sB, 0, 0, inTransaction), DB_OK);
        EXPECT_GT(inTransaction.size(), before);
        EXPECT_EQ(tran.rollbackTran(), DB_OK);
    }
    EXPECT_GT(fileCount(), before);
}

// One request reads a subclient's files once, whatever times it asks them up to: the split asks up to
// the browse's end, the media agent's choice for all of them. Each answer, in either order and on either
// copy, is the database's own for that time.
TEST_F(ArchProcs, EachTimeOfARequestGetsTheFilesOfThatTime) {
    const int times[] = {T - 1, T, T + D, T + 2 * D + 1, T + 4 * D, 0};
    auto ids = [](const std::vector<hubdb::ArchiveFileOnCopy>& files) {
        std::vector<std::pair<int, int>> out;
        for (const auto& f : files) out.emplace_back(f.id, f.copyId);
        return out;
    };
    for (bool openEndFirst : {false, true}) {
        zydb::CRequestReads request;
        int rc = DB_OK;
        auto conn = zydb::CDbEnv::threadConnection(&rc);
        ASSERT_TRUE(conn) << rc;
        std::vector<hubdb::ArchiveFileOnCopy> files;
        if (openEndFirst) {
            ASSERT_EQ(hubdb::listArchiveFiles(*conn, sA, 0, 0, files), DB_OK);
        }
        for (int copy : {0, 2})
            for (int time : times) {
                std::vector<hubdb::ArchiveFileOnCopy> asked, read;
                ASSERT_EQ(hubdb::listArchiveFiles(*conn, sA, copy, time, asked), DB_OK);
                ASSERT_EQ(hubdb::readArchiveFiles(*conn, sA, copy, time, read), DB_OK);
                EXPECT_EQ(ids(asked), ids(read)) << "copy " << copy << " up to " << time;
                for (size_t n = 0; n < asked.size() && n < read.size(); ++n) {
                    EXPECT_EQ(asked[n].runningJob, read[n].runningJob);
                }
            }
    }
}

}  // namespace

// The requests of one thread plan a window once while the database stays as it was: asked again, with
// the same arguments, the rows are those of the first run; a backup that ended since is planned by the
// next request, and other arguments, or a transaction, are planned afresh.
TEST_F(ArchProcs, ARequestPlansAWindowOnceWhileTheDatabaseIsUnchanged) {
    auto plan = [&](int to) {
        zydb::CRequestReads request;
        return superBrowse(sA, T + D + 10, to, 0, 1);
    };
    const std::vector<Row> first = plan(0);
    ASSERT_FALSE(first.empty());
    const unsigned long long carried = zydb::requestsThatKeptMemos();
    EXPECT_EQ(plan(0), first);
    EXPECT_GT(zydb::requestsThatKeptMemos(), carried);
    EXPECT_NE(plan(T + 2 * D + 5), first);  // another window: its own rows
    int later = 0;
    {
        // A later data file of j4's job, on the policy of sA's files (a new seed object does not know it).
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        hubdb::ArchFileSeed f;
        f.appId = sA;
        f.jobId = j4.jobId;
        f.fileType = 1;
        f.cTime = T + 3 * D + 50;
        f.storagePolicyId = static_cast<int>(seed.queryInt(
            "SELECT archGroupId FROM archFile WHERE appId = ? LIMIT 1", {zydb::DbValue::ofInt(sA)}));
        later = seed.addArchFile(f);
        ASSERT_GT(later, 0) << seed.error();
    }
    const std::vector<Row> after = plan(0);
    EXPECT_NE(after, first);
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [&](const Row& r) {
        return std::get<1>(r) == later;
    })) << ::testing::PrintToString(after);
    {
        zydb::CRequestReads request;
        DBtran tran(true);
        ArchFileByTimeSuperBrowse p(&tran);
        p.setValues(29, 0, 0, sA, T + D + 10, 0, 0, 1, 0, 0, "");
        int rows = 0;
        while (getNextRow(&p, &rows, -1, 0) == DB_OK) {
        }
        EXPECT_EQ(static_cast<size_t>(rows), after.size());
    }
}
