// The browse planner over seeded Hubmaster databases: both split paths, the last-cycle rule, master
// media agents, super-browse gates, the indexing-version decision, indexing-v2 databases, the
// content-indexing split and the archive-file selection.
#include "planning/superbrowsemanager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "fbDebug/fbdebug.h"
#include "planning/afileselection.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_planning.h"
#include "tests/planning/plannerworld.h"

namespace {

using plannertest::kDay;
using plannertest::kT0;
using plannertest::Planner;

TEST(SuperBrowseRecords, OrderingsAndExtendedOptions) {
    SuperBrowse a, b;
    a.findTime = 0x80000000u;
    b.findTime = 5;
    EXPECT_TRUE(SuperBrowseCmp(b, a));
    EXPECT_FALSE(SuperBrowseCmp(a, b));
    SuperBrowseArchive x, y;
    x.r_afileId = y.r_afileId = 7;
    x.r_kelmarchId = 1;
    y.r_kelmarchId = 2;
    EXPECT_FALSE(ArchiveEq(x, y));
    EXPECT_TRUE(ArchiveCmp(x, y));

    EvMultiEntityRestoreTask t;
    t.setextendedOptions("0000000000");
    SuperBrowseManager m(&t);
    EXPECT_EQ(m.getExtendedOption(-1), 0);
    EXPECT_EQ(m.getExtendedOption(1025), 0);
    EXPECT_EQ(m.getExtendedOption(1024), '0');
    EXPECT_EQ(m.getExtendedOption(88), '\0');
    EXPECT_EQ(m.getOldestMa(), 0xFFFFFFFFu);
    EXPECT_TRUE(m.getFirstCycle() == m.getLastCycle());
}

TEST(SuperBrowseRecords, StopBrowseByServicePack) {
    for (const char* v : {"11.0", "11.0 SP2", "11.0 SP3", "11.0 SP3a", "11.0 SP3bx"})
        EXPECT_TRUE(SuperBrowseManager::shouldDisableStopBrowse(v)) << v;
    for (const char* v : {"11.0 SP3b", "11.0 SP3b+", "11.0 SP4", "11.0 SP24"})
        EXPECT_FALSE(SuperBrowseManager::shouldDisableStopBrowse(v)) << v;
}

// A range over both subclients by the stored procedure: every cycle but the last of each subclient is
// dropped, the two left are numbered in find-time order and super browse is applied.
TEST_F(Planner, RangeBrowseKeepsTheLastCycleOfEachSubclient) {
    threeCycles(sc1);
    threeCycles(sc2, 60);
    open();
    auto t = task(0, kT0 - 10, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0) << m.getLastError();
    ASSERT_EQ(m.getCycleCount(), 2u);
    auto& cycles = *m.getCycles();
    EXPECT_EQ(cycles[0].appId, static_cast<uint32_t>(sc1));
    EXPECT_EQ(cycles[1].appId, static_cast<uint32_t>(sc2));
    EXPECT_EQ(cycles[0].cycleNumber, 1u);
    EXPECT_EQ(cycles[1].cycleNumber, 2u);
    // The index file closes the job one second after its data.
    EXPECT_EQ(cycles[0].findTime, static_cast<uint32_t>(kT0 + 2 * kDay + 3601));
    for (const SuperBrowseArchive& a : m.getDataArchives()) {
        const SuperBrowse& c = a.appId == static_cast<uint32_t>(sc1) ? cycles[0] : cycles[1];
        EXPECT_GE(a.r_createTime, static_cast<int>(c.fromTime));
        EXPECT_LE(a.r_createTime, static_cast<int>(c.toTime));
    }
    EXPECT_GE(m.getOldestMa(), 1000u);
    EXPECT_TRUE(m.isSuperBrowse());
    EXPECT_FALSE(m.getSuperBrowseMa().empty());
}

// An indexing-v1 split logs its range, and the split of its own entity logs it again, with the line
// that names the procedure's arguments: two lines of the range, however alike.
TEST_F(Planner, TheRangeIsLoggedBySplitAndByItsEntitysSplit) {
    threeCycles(sc1);
    open();
    // The planner's lines go to a log of the test's own.
    EvDebugFileInstance* const library = std::exchange(g_pLogInstance, new EvDebugFileInstance);
    EvDebug(g_pLogInstance).initialize(0x0C255DB9, 0, true, "split-range.log");
    auto t = task(sc1, kT0 - 10, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0) << m.getLastError();
    ASSERT_FALSE(m.isIndexingV2());
    const std::string range = "splitting browse range [" + std::to_string(kT0 - 10) + "] to [" +
                              std::to_string(kT0 + 3 * kDay) + "] for backupset [" + std::to_string(bs) +
                              "] subclient [" + std::to_string(sc1) + "] into cycles";
    std::ifstream in(g_pLogInstance->filePath());
    size_t ranges = 0, procedures = 0;
    for (std::string line; std::getline(in, line);) {
        ranges +=
            line.size() >= range.size() && line.compare(line.size() - range.size(), range.size(), range) == 0;
        procedures += line.find("Getting Cycles for entity called with appType[29]") != std::string::npos;
    }
    delete std::exchange(g_pLogInstance, library);
    EXPECT_EQ(ranges, 2u);
    EXPECT_EQ(procedures, 1u);
}

// Option bit 0x8 keeps every cycle; the registry hook refuses super browse.
TEST_F(Planner, EveryCycleAndTheRegistryHook) {
    threeCycles(sc1);
    open();
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nDISABLESUPERBROWSE", 1));
    auto t = task(sc1, kT0 - 10, kT0 + 3 * kDay, 0x8);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    EXPECT_EQ(m.getCycleCount(), 3u);
    EXPECT_FALSE(m.isSuperBrowse());
    EXPECT_FALSE(m.canSuperBrowseBeApplied());
}

// A point in time with one cycle: no super browse unless extended option 86 asks for it.
TEST_F(Planner, SingleCycleNeedsOption86) {
    threeCycles(sc1);
    open();
    for (bool opt86 : {false, true}) {
        std::string ext = opt86 ? options({86}) : options({});
        auto t = task(sc1, 0, kT0 + kDay + 7200, 0, ext.c_str());
        SuperBrowseManager m(t.get());
        ASSERT_EQ(m.split("\\"), 0);
        ASSERT_EQ(m.getCycleCount(), 1u);
        EXPECT_EQ((*m.getCycles())[0].findTime, static_cast<uint32_t>(kT0 + kDay + 3601));
        EXPECT_EQ(m.isSuperBrowse(), opt86);
    }
}

// Nothing backed up: code 2; a media agent older than 10 disables super browse and stop requests.
TEST_F(Planner, NoCyclesAndOldMediaAgents) {
    int oldMa = seed->addMediaAgent({.name = "ma9"}, "9.0");
    int oldSp = seed->addStoragePolicy("sp9", oldMa);
    int sc3 = seed->addSubclient(
        {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc3", .storagePolicyId = oldSp});
    threeCycles(sc3);
    open();
    {
        auto t = task(sc1, kT0, kT0 + kDay);
        SuperBrowseManager m(t.get());
        EXPECT_EQ(m.split("\\"), -1);
        EXPECT_EQ(m.getLastErrorCode(), databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
        EXPECT_FALSE(m.getLastError().empty());
    }
    auto t = task(sc3, kT0 - 10, kT0 + 3 * kDay, 0x8, options({86}).c_str());
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    EXPECT_LE(m.getOldestMa(), 999u);
    EXPECT_TRUE(m.getDisableStopBrowseFlag());
    EXPECT_FALSE(m.isSuperBrowse());
}

// The per-subclient path: cycles from the archive manager, data archives without index files or
// catalogue markers, the media agent listed once.
TEST_F(Planner, PerSubclientPath) {
    threeCycles(sc1);
    threeCycles(sc2, 60);
    auto marker = seed->addJob({.appId = sc1, .level = 2, .startTime = kT0 + 2 * kDay + 7000});
    seed->addArchFile({.appId = sc1, .jobId = marker, .fileType = 9, .cTime = kT0 + 2 * kDay + 7000});
    seed->addArchFile({.appId = sc1, .jobId = marker, .fileType = 1, .cTime = kT0 + 2 * kDay + 7000});
    seed->addArchFile(
        {.appId = sc1, .jobId = marker, .fileType = 6, .cTime = kT0 + 2 * kDay + 7000, .name = "idx"});
    open();
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nDONOTUSESUPERBROWSESP", 1));
    auto t = task(0, kT0 - 10, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0) << m.getLastError();
    EXPECT_GE(m.getCycleCount(), 2u);
    bool sawMarkerJobData = false;
    for (const SuperBrowseArchive& a : m.getDataArchives()) {
        EXPECT_TRUE(a.r_fileType == 1 || a.r_fileType == 4) << a.r_fileType;
        if (a.r_jobId == marker) sawMarkerJobData = true;
    }
    EXPECT_TRUE(sawMarkerJobData);
    EXPECT_FALSE(m.getIndexArchives().empty());
    EXPECT_EQ(m.getSuperBrowseMa().size(), 1u);
}

// Two cycles of one subclient with the same find time, with another subclient's cycle between them
// after a plain find-time sort, are one cycle.
TEST_F(Planner, DuplicateCyclesAreRemovedWhereverTheyFall) {
    seed->addBackup(sc1, 1, kT0, 1);
    seed->addBackup(sc2, 1, kT0, 1);
    open();
    auto t = task(0, kT0 - 10, kT0 + 10, 0x8);
    t->addEntity([&] {
        databrowse::EntityWithFilters e;
        e.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true)
            ->setint64(ZyEntities::GenericEntity::f::subclientId, sc1);
        return e;
    }());
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    EXPECT_EQ(m.getCycleCount(), 2u);
}

// Selections written by one thread while others read them; the selected media agent replaces the
// master list.
TEST_F(Planner, SelectionsAreSharedSafely) {
    threeCycles(sc1);
    open();
    auto t = task(sc1, kT0 - 10, kT0 + 3 * kDay, 0x8);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0);
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            m.selectMediaAgent("ma" + std::to_string(i % 3));
            m.setIndexingV2(i % 2 == 0);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::string s = m.getSelectedMA();
        EXPECT_TRUE(s.empty() || s.rfind("ma", 0) == 0);
        (void)m.isIndexingV2();
    }
    writer.join();
    m.selectMediaAgent("chosen");
    EXPECT_EQ(m.getSuperBrowseMa(), std::list<std::string>{"chosen"});
}

// Without candidates the Hubmaster's own client is the master; a media agent named by the task comes
// before the split's list.
TEST_F(Planner, MasterMediaAgentFallbacks) {
    int hub = seed->addClient({.name = "hubmaster"});
    open();
    ASSERT_TRUE(
        ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId", static_cast<unsigned long>(hub)));
    auto t = task(sc1, 0, kT0);
    SuperBrowseManager none(t.get());
    auto list = none.getSuperBrowseMa();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list.front().find("hubmaster"), std::string::npos) << list.front();
    t->setMediaAgentId(ma);
    SuperBrowseManager named(t.get());
    list = named.getSuperBrowseMa();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list.front().find("ma1"), std::string::npos) << list.front();
}

// A media agent whose name cannot travel (so nothing reaches it) is never a candidate: neither the agent
// of a cycle nor the task's own.
TEST_F(Planner, MediaAgentsWithoutAHostNameAreNeverCandidates) {
    threeCycles(sc1);
    ASSERT_EQ(seed->exec("UPDATE APP_Client SET name = 'ma*1', net_hostname = '' WHERE id = ?",
                         {zydb::DbValue::ofInt(ma)}),
              0);
    open();
    auto t = task(sc1, kT0 - 10, kT0 + 3 * kDay);
    SuperBrowseManager planned(t.get());
    ASSERT_EQ(planned.split("\\"), 0) << planned.getLastError();
    ASSERT_GT(planned.getCycleCount(), 0u);
    for (const std::string& name : planned.getSuperBrowseMa()) EXPECT_FALSE(name.empty());
    t->setMediaAgentId(ma);
    SuperBrowseManager named(t.get());
    for (const std::string& name : named.getSuperBrowseMa()) EXPECT_FALSE(name.empty());
}

// The per-subclient path from time 0 over a backup at time 0: the cycle starts at 0, not at the end of
// time.
TEST_F(Planner, PerSubclientCycleFromTimeZeroStartsAtZero) {
    seed->addBackup(sc1, 1, 0, 1);
    open();
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nDONOTUSESUPERBROWSESP", 1));
    auto t = task(sc1, 0, kT0);
    SuperBrowseManager m(t.get());
    ASSERT_EQ(m.split("\\"), 0) << m.getLastError();
    ASSERT_GE(m.getCycleCount(), 1u);
    EXPECT_EQ((*m.getCycles())[0].fromTime, 0u);
}

TEST_F(Planner, SubclientsOfABrowse) {
    hubdb::PlanningSeed more(*seed);
    seed->addSubclientProperty(sc2, "Index SubClient", "1");
    more.addJobAction(1, 1, 0, 4, sc1, 1);
    open();
    std::vector<APP_Application_t> rows;
    ASSERT_FALSE(SuperBrowseManager::getAppIds(bs, 0, rows, false).IsError());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].id, sc1);
    rows.clear();
    // sc1 has a pending index-log action and no index-log file: it is left out.
    ASSERT_FALSE(SuperBrowseManager::getAppIds(bs, 0, rows, true).IsError());
    EXPECT_TRUE(rows.empty());
    seed->addArchFile({.appId = sc1, .jobId = 0, .fileType = 2, .cTime = kT0, .name = "IdxLogs_V1"});
    ASSERT_FALSE(SuperBrowseManager::getAppIds(bs, sc1, rows, true).IsError());
    EXPECT_EQ(rows.size(), 1u);
}

// The caller's choice decides at once; a client switched to v2 plans one entry per index database on
// its index server, and a failed database look-up is not reported as "no backups".
TEST_F(Planner, IndexingVersionAndV2Databases) {
    threeCycles(sc1);
    hubdb::FamiliesBSeed fb(*seed);
    int node = seed->addMediaAgent({.name = "idxnode"}, "11.0 SP24");
    int server = fb.addIndexServer("Virtual Machine", "idxsrv", {{.clientId = node}});
    hubdb::IndexDatabaseSeed db;
    db.dbName = hubdb::HubDbSeed::makeGuid(3, bs);
    db.backupSetId = bs;
    db.engineType = 1;
    db.currentIdxServer = server;
    fb.addIndexDatabase(db);
    seed->addProperty("APP_ClientProp",
                      {.ownerId = client, .name = "IndexingV2_200029", .value = "1", .created = kT0 - kDay});
    open();
    {
        auto t = task(sc1, 0, kT0 + 3 * kDay, 0, options({106}).c_str());
        SuperBrowseManager m(t.get());
        bool v2 = true;
        apptype::EAppType type{};
        EXPECT_EQ(m.determineBrowseIndexingVersion(v2, type), 0u);
        EXPECT_FALSE(v2);
    }
    auto t = task(sc1, 0, kT0 + 3 * kDay);
    SuperBrowseManager m(t.get());
    bool v2 = false;
    apptype::EAppType type{};
    EXPECT_EQ(m.determineBrowseIndexingVersion(v2, type), static_cast<unsigned long long>(kT0 - kDay));
    EXPECT_TRUE(v2);
    EXPECT_EQ(type, apptype::of(200029));
    SuperBrowseManager planned(t.get());
    ASSERT_EQ(planned.split("\\"), 0) << planned.getLastError();
    ASSERT_EQ(planned.getCycleCount(), 1u);
    const SuperBrowse& entry = (*planned.getCycles())[0];
    EXPECT_TRUE(entry.indexingV2Cycle);
    EXPECT_EQ(entry.mediaAgentVersion, 1100u);
    EXPECT_EQ(entry.indexDbId, db.dbName);
    EXPECT_NE(entry.mediaAgentName.find("idxnode"), std::string::npos) << entry.mediaAgentName;
    EXPECT_TRUE(planned.isIndexingV2());
    EXPECT_EQ(planned.getSuperBrowseMa(), std::list<std::string>{entry.mediaAgentName});
}

// Archive-file selection: the latest and the cycle's backups, and a range that cannot be browsed.
TEST_F(Planner, ArchiveFileSelection) {
    threeCycles(sc1);
    open();
    EvMessageContainer messages;
    TAfileSelection sel;
    sel.subclientId = static_cast<uint32_t>(sc1);
    sel.appType = apptype::kFileSystem;
    EXPECT_EQ(getSnapAfile(0, &sel, messages, 0), -1);
    EXPECT_EQ(getSnapAfile(0, nullptr, messages, sc1), -1);
    EXPECT_GT(getSnapAfile(kT0 + kDay + 10, &sel, messages, sc1), 0);
    ASSERT_EQ(setIndexingAfiles(kT0 + kDay + 3700, &sel, messages), 0);
    EXPECT_NE(sel.latest.id.archFileId, 0u);
    EXPECT_NE(sel.latestInCycle.id.archFileId, 0u);
    EXPECT_LE(sel.latestInCycle.creationTime, static_cast<uint32_t>(kT0 + kDay + 3700));
    EXPECT_NE(sel.exact.creationTime, 0u);
    // The from-time is raised to the oldest backup before the range check.
    TAfileSelection range = sel;
    range.fromTime = 5;
    range.toTime = kT0 - 100;
    EXPECT_EQ(setIndexingAfiles(0, &range, messages), -1);
    EXPECT_EQ(range.fromTime, static_cast<uint32_t>(kT0));
    range.toTime = 0;
    EXPECT_EQ(setIndexingAfiles(0, &range, messages), 0);
    EXPECT_EQ(range.exact.id.archFileId, range.latestInCycle.id.archFileId);
}

// The VM optimisation narrows the browse to the machine's subclients by its GUID (the component after
// the first separator, wherever that is); text that is not a GUID is never looked up. The
// content-indexing split never plans indexing v2.
TEST_F(Planner, VmOptimisationAndContentIndexingSplit) {
    threeCycles(sc1);
    threeCycles(sc2, 60);
    hubdb::PlanningSeed more(*seed);
    const std::string guid = "0a1b2c3d-0000-1111-2222-333344445555";
    const std::string notGuid = "x' OR 'a'='a' OR 'b'='bbbbbbbbbbbbbbbbbbbbbb";
    for (auto [sc, value] : {std::pair{sc1, guid}, std::pair{sc2, notGuid}}) {
        int job = seed->addJob({.appId = sc, .level = 1, .startTime = kT0 + 5});
        seed->exec("UPDATE JMBkpStats SET appType = 106 WHERE jobId = ?", {zydb::DbValue::ofInt(job)});
        more.addVmProperty(job, "vmGUID", value);
    }
    ZYPlatformInfo::setString("MediaAgent", "msBackupsetsWithExchangeOptimization",
                              std::to_string(bs) + "\\0" + "77");
    open();
    auto subclientsOf = [&](const std::string& path) {
        auto t = task(0, kT0 - 10, kT0 + 3 * kDay);
        t->setAppType(apptype::kVirtualServer);
        SuperBrowseManager m(t.get());
        EXPECT_EQ(m.splitCI(path.c_str()), 0) << path;
        EXPECT_FALSE(m.isIndexingV2());
        std::set<uint32_t> ids;
        for (const SuperBrowse& c : *m.getCycles()) ids.insert(c.appId);
        return ids;
    };
    const std::set<uint32_t> both{static_cast<uint32_t>(sc1), static_cast<uint32_t>(sc2)};
    EXPECT_EQ(subclientsOf("\\" + guid + "\\folder"), std::set<uint32_t>{static_cast<uint32_t>(sc1)});
    EXPECT_EQ(subclientsOf("VM\\" + guid + "\\folder"), std::set<uint32_t>{static_cast<uint32_t>(sc1)});
    EXPECT_EQ(subclientsOf("\\" + notGuid + "\\folder"), both);
    EXPECT_EQ(backupsetsWithExchangeOptimization(), (std::vector<uint32_t>{static_cast<uint32_t>(bs), 77u}));
}

}  // namespace
