// The planner's indexing-v2 roads over seeded databases: the backward-compatibility checks against the
// client's switch time, the content-indexed virtual-machine rule, index databases per subclient and
// their failures, and the mount text of cycles.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "planning/afileselection.h"
#include "planning/superbrowsemanager.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_planning.h"
#include "tests/planning/plannerworld.h"
#include "tests/support/archive/archmgr_faults.h"

namespace {

using plannertest::kDay;
using plannertest::kT0;
using plannertest::Planner;

class V2Planner : public Planner {
protected:
    // A data file and an index file written by the new layer (a proper name) for one job at `time`.
    int v2Job(int sc, int time) {
        int job = seed->addJob({.appId = sc, .level = 1, .startTime = time});
        seed->addArchFile({.appId = sc, .jobId = job, .fileType = 1, .cTime = time});
        seed->addArchFile({.appId = sc, .jobId = job, .fileType = 2, .cTime = time + 1, .name = "v2index"});
        return job;
    }
    void switchClientToV2(long long at, const std::string& property = "IndexingV2_200029") {
        seed->addProperty("APP_ClientProp",
                          {.ownerId = client, .name = property, .value = "1", .created = at});
    }
    // An index server node and the backup set's (or one subclient's) index database on it.
    int indexDatabase(const std::string& name, const std::string& nodeName) {
        hubdb::FamiliesBSeed fb(*seed);
        int node = seed->addMediaAgent({.name = nodeName}, "11.0 SP20");
        int server = fb.addIndexServer("Virtual Machine", nodeName + "-srv", {{.clientId = node}});
        hubdb::IndexDatabaseSeed db;
        db.dbName = name;
        db.backupSetId = bs;
        db.engineType = 1;
        db.currentIdxServer = server;
        fb.addIndexDatabase(db);
        return node;
    }
};

// The switch time lies after the browse: the earliest job the new layer indexed decides, whatever
// order its rows were written in.
TEST_F(V2Planner, EarliestV2JobDecidesWhenTheSwitchIsLater) {
    v2Job(sc1, kT0 + 300);  // written first, so a plain first row would be this later job
    v2Job(sc1, kT0 + 100);
    switchClientToV2(kT0 + 1000);
    open();
    auto t = task(sc1, 0, kT0 + 200);
    SuperBrowseManager m(t.get());
    bool v2 = false;
    apptype::EAppType type{};
    EXPECT_EQ(m.determineBrowseIndexingVersion(v2, type), static_cast<unsigned long long>(kT0 + 1000));
    EXPECT_TRUE(v2);

    auto before = task(sc1, 0, kT0 + 50);
    SuperBrowseManager early(before.get());
    v2 = false;
    early.determineBrowseIndexingVersion(v2, type);
    // The browse ends before the first v2 job: v1, and the subclient has index files, so it stays v1.
    EXPECT_FALSE(v2);
}

// No client property: v2 stays and nothing is returned; the caller's v1 choice wins over everything.
TEST_F(V2Planner, CallersChoiceAndMissingSwitch) {
    v2Job(sc1, kT0);
    seed->addProperty("APP_ClientProp",
                      {.ownerId = client, .name = "IndexingV2_200029", .value = "0", .created = kT0});
    open();
    auto t = task(sc1, 0, kT0 + 200, 0, options({107}).c_str());
    SuperBrowseManager m(t.get());
    bool v2 = false;
    apptype::EAppType type{};
    EXPECT_EQ(m.determineBrowseIndexingVersion(v2, type), 0u);
    EXPECT_TRUE(v2);
    EXPECT_EQ(type, apptype::of(200029));
    auto plain = task(sc1, 0, kT0 + 200);
    SuperBrowseManager n(plain.get());
    EXPECT_EQ(n.determineBrowseIndexingVersion(v2, type), 0u);
    EXPECT_FALSE(v2);
}

// Live browse (app type 13) with option 105: v1 files inside the range lower the to-time to the newest
// of them, and never raise it.
TEST_F(V2Planner, V1FilesInTheRangeOnlyLowerTheToTime) {
    int live = seed->addSubclient(
        {.clientId = client, .appTypeId = 13, .backupSetId = bs, .name = "live", .storagePolicyId = sp});
    v2Job(live, kT0 + 10);
    switchClientToV2(kT0, "IndexingV2_200013");
    int job = seed->addJob({.appId = live, .level = 2, .startTime = kT0 + 500});
    seed->addArchFile({.appId = live, .jobId = job, .fileType = 2, .cTime = kT0 + 500});  // "Not Named": v1
    open();
    for (long to : {kT0 + 400L, kT0 + 900L}) {
        auto t = task(live, kT0, to, 0, options({105}).c_str());
        t->setAppType(apptype::kNas);
        SuperBrowseManager m(t.get());
        bool v2 = false;
        apptype::EAppType type{};
        m.determineBrowseIndexingVersion(v2, type);
        EXPECT_TRUE(v2);
        EXPECT_EQ(m.getToTime(), static_cast<uint32_t>(std::min<long>(to, kT0 + 500))) << to;
    }
}

// A VM browse of the latest data whose latest job is content-indexed is forced to v2 on the node of
// the subclient's index server; a delayed-catalogue job never is.
TEST_F(V2Planner, ContentIndexedVirtualMachines) {
    int vmSc = seed->addSubclient(
        {.clientId = client, .appTypeId = 106, .backupSetId = bs, .name = "vms", .storagePolicyId = sp});
    hubdb::FamiliesBSeed fb(*seed);
    int node = seed->addMediaAgent({.name = "vmnode"}, "11.0");
    int server = fb.addIndexServer("Virtual Machine", "vmsrv", {{.clientId = node}});
    seed->addSubclientProperty(vmSc, "Index Server Client Id", std::to_string(server));
    int job = seed->addJob({.appId = vmSc, .level = 1, .startTime = kT0});
    seed->addArchFile({.appId = vmSc, .jobId = job, .fileType = 1, .cTime = kT0, .name = "vm1", .flags = 64});
    seed->addArchFile({.appId = vmSc, .jobId = job, .fileType = 1, .cTime = kT0 + 1, .name = "vm2"});
    seed->addArchFile(
        {.appId = vmSc, .jobId = job, .fileType = 1, .cTime = kT0 + 2, .name = "vm2", .flags = 64});
    seed->addArchFile(
        {.appId = vmSc, .jobId = job, .fileType = 1, .cTime = kT0 + 3, .name = "vm3", .flags = 2});
    open();
    auto t = task(vmSc, 0, kT0 + 100, 0, options({59}).c_str());
    t->setAppType(apptype::kVirtualServer);
    SuperBrowseManager m(t.get());
    bool v2 = false;
    apptype::EAppType type{};
    m.determineBrowseIndexingVersion(v2, type);
    EXPECT_TRUE(v2);
    EXPECT_EQ(type, apptype::kVirtualServer);
    EXPECT_TRUE(m.IsVirtualServerDm2IndexBrowse());
    EXPECT_EQ(m.GetVirtualServerLatesCIdJobId(), static_cast<uint32_t>(job));
    int nodeOf = 0;
    ASSERT_FALSE(GetDm2IndexServerForVSASubclient(vmSc, nodeOf).IsError());
    EXPECT_EQ(nodeOf, node);

    seed->addArchFile({.appId = vmSc, .jobId = job, .fileType = 9, .cTime = kT0 + 4});
    SuperBrowseManager catalogued(t.get());
    v2 = false;
    catalogued.determineBrowseIndexingVersion(v2, type);
    EXPECT_FALSE(v2);
    EXPECT_TRUE(catalogued.isLastJobDelayCataloged());
}

// One index database per subclient: a database whose index server cannot be found is skipped while
// another remains.
TEST_F(V2Planner, DatabasesPerSubclient) {
    threeCycles(sc1);
    switchClientToV2(kT0 - kDay);
    seed->addProperty("APP_BackupSetProp", {.ownerId = bs, .name = "Subclient Level Index", .value = "1"});
    indexDatabase(hubdb::HubDbSeed::makeGuid(4, sc1), "node1");
    open();
    auto t = task(0, 0, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0) << m.getLastError();
    ASSERT_EQ(m.getCycleCount(), 1u);
    EXPECT_EQ((*m.getCycles())[0].appId, static_cast<uint32_t>(sc1));
    EXPECT_EQ((*m.getCycles())[0].indexDbId, hubdb::HubDbSeed::makeGuid(4, sc1));
}

// One index database per subclient, browsed on a second copy: no database's index server holds the
// backups and the copy is no default one, so each database goes to a media agent of its own subclient's
// backups, never to one read for an earlier subclient.
TEST_F(V2Planner, EachSubclientDatabaseTakesAMediaAgentOfItsOwnBackups) {
    const int ma2 = seed->addMediaAgent({.name = "ma2"}, "11.0");
    const int sp2 = seed->addStoragePolicy("sp2", ma2);
    const int sc3 = seed->addSubclient(
        {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc3", .storagePolicyId = sp2});
    ASSERT_GT(seed->addCopy(sp, 2, ma), 0);
    ASSERT_GT(seed->addCopy(sp2, 2, ma2), 0);
    v2Job(sc1, kT0 + 100);
    v2Job(sc3, kT0 + 200);
    switchClientToV2(kT0 - kDay);
    seed->addProperty("APP_BackupSetProp", {.ownerId = bs, .name = "Subclient Level Index", .value = "1"});
    indexDatabase(hubdb::HubDbSeed::makeGuid(4, sc1), "node1");
    indexDatabase(hubdb::HubDbSeed::makeGuid(4, sc3), "node3");
    open();
    auto t = task(0, 0, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.getIndexing2DbsForBackupSet(apptype::kFileSystem, client, bs, 0, 0, kT0 + 3 * kDay, 2), 0);
    std::map<uint32_t, std::string> agentOf;
    for (const SuperBrowse& cycle : *m.getCycles()) agentOf[cycle.appId] = cycle.mediaAgentName;
    ASSERT_EQ(agentOf.size(), 2u);
    EXPECT_NE(agentOf[static_cast<uint32_t>(sc1)].find("ma1"), std::string::npos)
        << agentOf[static_cast<uint32_t>(sc1)];
    EXPECT_NE(agentOf[static_cast<uint32_t>(sc3)].find("ma2"), std::string::npos)
        << agentOf[static_cast<uint32_t>(sc3)];
}

// The look-up of the databases fails (no index database is known for the backup set): the split
// reports that, not "no backups".
TEST_F(V2Planner, FailedDatabaseLookupIsItsOwnError) {
    threeCycles(sc1);
    switchClientToV2(kT0 - kDay);
    open();
    auto t = task(sc1, 0, kT0 + 3 * kDay);
    // A user request reads the index databases afresh (the process-wide cache may know this GUID).
    t->setUserRequest(true);
    SuperBrowseManager m(t.get());
    EXPECT_EQ(m.split("\\"), -1);
    EXPECT_EQ(m.getLastErrorCode(), databrowse::BROWSE_ERR_REQUEST_PROCESSING);
    EXPECT_EQ(m.getCycleCount(), 0u);
}

// Cloud-laptop mode without laptop jobs and no media agent to take over: no empty master candidate.
TEST_F(V2Planner, NoMediaAgentNameIsNeverACandidate) {
    switchClientToV2(kT0 - kDay);
    seed->addProperty("APP_BackupSetProp", {.ownerId = bs, .name = "Cloud Laptop Mode", .value = "1"});
    open();
    auto t = task(sc1, 0, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    EXPECT_EQ(m.getIndexing2DbsForBackupSet(apptype::kFileSystem, 0, bs, sc1, 0, kT0 + 3 * kDay, 0), -1);
    EXPECT_EQ(m.getCycleCount(), 0u);
    for (const std::string& ma : m.getSuperBrowseMa()) EXPECT_FALSE(ma.empty());
}

// Mount text: asked once per block-level data file of a cycle-closing job, never for files of other jobs
// nor for a data file that is not block-level, and not at all with option bit 50.
TEST_F(V2Planner, MountTextOfCycles) {
    threeCycles(sc1);
    seed->exec("UPDATE archFile SET flags = flags | 512 WHERE fileType = 1");
    const long long plainFile = seed->queryInt("SELECT MAX(id) FROM archFile WHERE fileType = 1");
    seed->exec("UPDATE archFile SET flags = 0 WHERE id = ?", {zydb::DbValue::ofInt(plainFile)});
    open();
    std::set<unsigned long> asked;
    SuperBrowseManager::setBlockLevelMountXmlProvider(
        [&](bool, unsigned, unsigned long afile, apptype::EAppType, unsigned long, unsigned long, int, bool) {
            asked.insert(afile);
            return std::string("<mount afile=\"") + std::to_string(afile) + "\"/>";
        });
    auto t = task(sc1, kT0 - 10, kT0 + 3 * kDay, 0x8);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    std::set<uint64_t> cycleJobs;
    for (const SuperBrowse& c : *m.getCycles()) cycleJobs.insert(c.jobId);
    size_t expected = 0;
    bool plainInACycle = false;
    for (const SuperBrowseArchive& a : m.getDataArchives()) {
        if (!cycleJobs.count(static_cast<uint64_t>(a.r_jobId))) continue;
        if (a.r_afileId == plainFile)
            plainInACycle = true;
        else
            ++expected;
    }
    EXPECT_TRUE(plainInACycle) << "the plain data file closes a cycle";
    EXPECT_GT(expected, 0u);
    EXPECT_EQ(asked.size(), expected);
    EXPECT_EQ(asked.count(static_cast<unsigned long>(plainFile)), 0u);
    size_t described = 0;
    for (const SuperBrowse& c : *m.getCycles()) described += c.mountXml.empty() ? 0 : 1;
    EXPECT_GT(described, 0u);

    asked.clear();
    auto exact = task(sc1, kT0 - 10, kT0 + 3 * kDay, 0x8 | SuperBrowseManager::kOptionExactBrowse);
    SuperBrowseManager n(exact.get());
    ASSERT_EQ(n.split("\\"), 0);
    EXPECT_TRUE(asked.empty());
    SuperBrowseManager::setBlockLevelMountXmlProvider(nullptr);
}

}  // namespace

namespace {

using plannertest::Planner;

class PlannerFaults : public Planner {
protected:
    void TearDown() override {
        hubtest::clearArchMgrFaults();
        Planner::TearDown();
    }
};

// The oldest backup cannot be read: the references are chosen all the same and the from-time is kept.
TEST_F(PlannerFaults, SelectionGoesOnWithoutTheOldestBackup) {
    threeCycles(sc1);
    open();
    ASSERT_TRUE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getOldestArchFile}));
    EvMessageContainer messages;
    TAfileSelection sel;
    sel.subclientId = static_cast<uint32_t>(sc1);
    sel.appType = apptype::kFileSystem;
    sel.fromTime = 5;
    EXPECT_EQ(setIndexingAfiles(kT0 + kDay + 3700, &sel, messages), 0);
    EXPECT_EQ(sel.fromTime, 5u);
    EXPECT_NE(sel.latest.id.archFileId, 0u);
    EXPECT_NE(sel.latestInCycle.id.archFileId, 0u);
    EXPECT_NE(sel.exact.id.archFileId, 0u);
}

// The per-subclient path: a subclient never backed up is skipped; a failed job listing ends the split.
TEST_F(PlannerFaults, PerSubclientFailures) {
    threeCycles(sc1);
    threeCycles(sc2, 60);
    open();
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nDONOTUSESUPERBROWSESP", 1));
    ASSERT_TRUE(hubtest::injectArchMgrFault(
        {.op = ArchMgrOp::getOldestArchFile, .result = 100, .subject = static_cast<uint64_t>(sc2)}));
    auto t = task(0, kT0 - 10, kT0 + 3 * kDay, 0x8);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    for (const SuperBrowse& c : *m.getCycles()) EXPECT_EQ(c.appId, static_cast<uint32_t>(sc1));
    hubtest::clearArchMgrFaults();
    ASSERT_TRUE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getArchFileListByJob}));
    SuperBrowseManager failed(t.get());
    EXPECT_EQ(failed.split("\\"), -1);
}

}  // namespace
