// The archive manager over a seeded Hubmaster database: a subclient with two cycles of full and
// incremental jobs with data and index files on two copies and media agents, a never-backed-up
// subclient, Oracle subclients of one instance, media; every operation's answers, modes and the exact
// flag, copy precedence 0, planted failures and database errors.
#include "platform/archive/archivemanagerhm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/archive/archiveseed.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdbseed.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/archive/archmgr_faults.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

constexpr int D = 86400;
constexpr int T = 1700000000;

class ArchiveManager : public ::testing::Test {
protected:
    void SetUp() override {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_TRUE(seed.ok()) << seed.error();
        archmgr::ArchiveSeed arch(seed);
        ma1 = seed.addMediaAgent({.name = "ma1", .hostName = "ma1.example.com"}, "11.0");
        ma2 = seed.addMediaAgent({.name = "ma2", .hostName = "ma2.example.com"}, "9.0");
        sp = seed.addStoragePolicy("sp", ma1);
        copy2 = seed.addCopy(sp, 2, ma2);
        copy1 = seed.copyId(sp, 1);
        otherSp = seed.addStoragePolicy("other", ma2);
        client = seed.addClient({.name = "client"});
        int bs = seed.addBackupSet("bs");
        sA = seed.addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "a", .storagePolicyId = sp});
        sB = seed.addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "b", .storagePolicyId = sp});
        // Cycle 1: J1 full, J2 incremental. Cycle 2: J3 full, J4 incremental (a second index file of
        // type 6), J5 incremental without index. J6 still running.
        j1 = seed.addBackup(sA, 1, T);
        j2 = seed.addBackup(sA, 2, T + D);
        j3 = seed.addBackup(sA, 1, T + 2 * D);
        j4 = seed.addBackup(sA, 2, T + 3 * D);
        idx6 = seed.addArchFile(
            {.appId = sA, .jobId = j4.jobId, .fileType = 6, .cTime = T + 3 * D + 2, .backupLevel = 2});
        j5 = seed.addBackup(sA, 2, T + 4 * D, 1, false);
        seed.addBackup(sA, 2, T + 5 * D, 1, true, true);
        seed.ageArchFile(j3.dataFiles[0], 2);

        // Oracle (22): data files only, two subclients of instance 7 of another client.
        oraClient = seed.addClient({.name = "ora"});
        int obs = seed.addBackupSet("orabs");
        o1 = seed.addSubclient({.clientId = oraClient,
                                .appTypeId = 22,
                                .backupSetId = obs,
                                .instanceId = 7,
                                .name = "o1",
                                .storagePolicyId = sp});
        o2 = seed.addSubclient({.clientId = oraClient,
                                .appTypeId = 22,
                                .backupSetId = obs,
                                .instanceId = 7,
                                .name = "o2",
                                .storagePolicyId = sp});
        seed.addSubclient({.clientId = oraClient,
                           .appTypeId = 22,
                           .backupSetId = obs,
                           .instanceId = 8,
                           .name = "o3",
                           .storagePolicyId = sp});
        oj1 = seed.addBackup(o1, 1, T, 2, false);
        oj2 = seed.addBackup(o2, 1, T + D, 1, false);
        oj3 = seed.addBackup(o1, 2, T + 2 * D, 1, false);

        // Media of copy 1: m1 cycle 1's files but J2's index; m2 the index files from J2 on and J3's
        // data; m3 (type 10001) J4's and J5's data. m4 on copy 2.
        m1 = arch.addMedia({.barcode = "M1", .mediaSize = 100});
        m2 = arch.addMedia({.barcode = "M2", .mediaSize = 200});
        m3 = arch.addMedia({.barcode = "M3", .mediaType = 10001, .mediaSize = 300});
        m4 = arch.addMedia({.barcode = "M4", .mediaSize = 400});
        for (int f : {j1.dataFiles[0], j1.indexFile, j2.dataFiles[0]}) arch.placeOnMedia(f, 1, m1);
        for (int f : {j2.indexFile, j3.dataFiles[0], j3.indexFile, j4.indexFile, idx6})
            arch.placeOnMedia(f, 1, m2);
        for (int f : {j4.dataFiles[0], j5.dataFiles[0]}) arch.placeOnMedia(f, 1, m3);
        for (int f : {j3.indexFile, j4.dataFiles[0]}) arch.placeOnMedia(f, 2, m4);
        ASSERT_TRUE(arch.ok()) << arch.error();
        ASSERT_TRUE(seed.ok()) << seed.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), DB_OK);
    }
    void TearDown() override {
        hubtest::clearArchMgrFaults();
        zydb::CDbEnv::close();
    }

    // A seed on the open file, for changes made by one test.
    template <class F>
    void change(F f) {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        archmgr::ArchiveSeed arch(seed);
        f(seed, arch);
        ASSERT_TRUE(arch.ok()) << arch.error();
    }

    // A time search: the archive file found, 100 or an error as a negative id.
    long long byTime(bool cycle, uint64_t app, uint64_t mode, uint64_t time, int exact = 0, uint64_t copy = 0,
                     uint64_t* type = nullptr) {
        GetAfileByTimeArgsHM_t a;
        a.appId = app;
        a.searchMode = mode;
        a.searchTime = time;
        a.copyPrecedence = copy;
        a.exactFlag = exact;
        GetAfileByTimeRetHM_t r;
        int rc = cycle ? am.getArchFileByTimeCycle(&a, &r) : am.getArchFileByTime(&a, &r);
        if (rc != 0) return rc;
        if (type) *type = r.archFileType;
        EXPECT_EQ(r.archFile.kelmarchId, 2u);
        EXPECT_EQ(r.archFile.archGroupId, static_cast<uint64_t>(sp));
        return static_cast<long long>(r.archFile.archFileId);
    }

    std::vector<int> cycles(uint64_t app, uint64_t from, uint64_t to, int* rc, uint64_t copy = 0) {
        LastAfileForEachCycleArgs_t a;
        a.appId = app;
        a.searchMode = 2;
        a.fromTime = from;
        a.toTime = to;
        a.copyPrecedence = copy;
        a.flags |= 1;
        LastAfileForEachCycleRet_t r;
        *rc = am.getLastAfileForEachCycle(&a, &r);
        std::vector<int> ids;
        for (const auto& row : r.lastAfiles) ids.push_back(row.r_afileId);
        return ids;
    }

    TempDir dir;
    ArchiveManagerHM am{nullptr};
    int ma1 = 0, ma2 = 0, sp = 0, otherSp = 0, copy1 = 0, copy2 = 0, client = 0, oraClient = 0;
    int sA = 0, sB = 0, o1 = 0, o2 = 0, idx6 = 0, m1 = 0, m2 = 0, m3 = 0, m4 = 0;
    hubdb::HubDbSeed::Backup j1, j2, j3, j4, j5, oj1, oj2, oj3;
};

}  // namespace

TEST(ArchiveManagerRecords, ConstructorsLeaveNothingUnset) {
    GetAfileByTimeArgsHM_t a;
    EXPECT_EQ(a.appId + a.searchMode + a.searchTime + a.copyPrecedence + a.reserved, 0u);
    EXPECT_EQ(a.optionA, -1);
    EXPECT_EQ(a.exactFlag, 0);
    EXPECT_EQ(a.optionB, 1);
    EXPECT_EQ(a.optionC + a.optionD, 0);
    GetOldestArchFileArgs_t o;
    EXPECT_EQ(o.optionA, -1);
    EXPECT_EQ(o.flag, 0);
    GetAfileListByJobArgsHM_t j;
    EXPECT_EQ(j.listKind, 2u);
    GetCopyIdByAfileCopyPrecArgs_t c;
    EXPECT_EQ(c.archFileId + c.archGroupId + c.kelmarchId + c.copyPrecedence, 0u);
    GetMediaAgentInfoRetHM_t mi;
    EXPECT_EQ(mi.clientId + mi.port + mi.osId + mi.releaseId, 0u);
    GetArchFileInfoRet_t fi;
    EXPECT_EQ(fi.archFile.id + fi.application.id, 0);
    EXPECT_STREQ(fi.archFile.name, "");

    // Callers clear the first seven words and set the message container again.
    GetAfileByTimeRetHM_t r;
    r.creationTime = 5;
    r.archFileType = 6;
    std::memset(static_cast<void*>(&r), 0, 7 * sizeof(uint64_t));
    EXPECT_EQ(r.creationTime + r.archFileType + r.archFile.archFileId, 0u);
    EXPECT_EQ(r.msgContainer, nullptr);

    TMediaInfo m;
    m.mediaName = "tape";
    m.flags = 8;
    TMediaInfo moved(std::move(m));
    EXPECT_EQ(moved.mediaName, "tape");
    EXPECT_EQ(moved.flags, 8u);
}

TEST_F(ArchiveManager, TimeSearchModesAndExactFlag) {
    uint64_t type = 0;
    // Mode 1: the newest file of any kind up to the time; 0 means no limit (the running job is left out).
    EXPECT_EQ(byTime(false, sA, 1, T + D + 100), j2.indexFile);
    EXPECT_EQ(byTime(false, sA, 1, 0), j5.dataFiles[0]);
    EXPECT_EQ(byTime(false, sA, 1, 0x7fffffff), j5.dataFiles[0]);
    // Mode 2: the newest index file up to the time; the exact flag keeps it to the cycle of the time.
    EXPECT_EQ(byTime(false, sA, 2, T + 3 * D + 10, 0, 0, &type), idx6);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(byTime(false, sA, 2, T + 3 * D + 1, 1), j4.indexFile);
    EXPECT_EQ(byTime(false, sA, 2, T + 2 * D), j2.indexFile);
    EXPECT_EQ(byTime(false, sA, 2, T + 2 * D, 1), DB_NO_DATA);  // J3's index is written a second later
    EXPECT_EQ(byTime(false, sA, 2, T + 2 * D + 1, 1), j3.indexFile);
    EXPECT_EQ(byTime(false, sA, 2, T - 1), DB_NO_DATA);
    EXPECT_EQ(byTime(false, sA, 5, 0), zydb::DB_ERR_ARGUMENT);
    EXPECT_EQ(byTime(false, sA, 62, 0), zydb::DB_ERR_ARGUMENT);
    EXPECT_EQ(byTime(false, sB, 1, 0), DB_NO_DATA);
}

TEST_F(ArchiveManager, CycleSearchTakesTheLatestOfTheCycle) {
    uint64_t type = 0;
    EXPECT_EQ(byTime(true, sA, 2, T + D), j2.indexFile);  // written after the search time, same cycle
    EXPECT_EQ(byTime(true, sA, 2, T + 2 * D + 10, 0, 0, &type), idx6);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(byTime(true, sA, 2, 0), idx6);
    EXPECT_EQ(byTime(true, sA, 2, T + 2 * D + 10, 1), j3.indexFile);
    EXPECT_EQ(byTime(true, sA, 1, T + 2 * D + 10), j5.dataFiles[0]);
    EXPECT_EQ(byTime(true, sA, 2, T - 1), DB_NO_DATA);
    EXPECT_EQ(byTime(true, sB, 2, 0), DB_NO_DATA);
}

TEST_F(ArchiveManager, OracleRetryInMode8FindsTheDataFiles) {
    // No index files: the mode-2 searches find nothing, the mode-8 retry finds the cycle's data.
    EXPECT_EQ(byTime(true, o1, 2, 0), DB_NO_DATA);
    EXPECT_EQ(byTime(true, o1, 8, 0), oj3.dataFiles[0]);
    EXPECT_EQ(byTime(false, o1, 2, T + D, 1), DB_NO_DATA);
    EXPECT_EQ(byTime(false, o1, 8, T + D, 1), oj1.dataFiles[1]);
    EXPECT_EQ(byTime(true, sA, 8, T + D), j2.dataFiles[0]);
}

TEST_F(ArchiveManager, OldestArchiveFile) {
    GetOldestArchFileArgs_t a;
    a.appId = sA;
    a.searchMode = 1;
    a.optionA = -1;
    a.flag = 1;
    EvMessageContainer* marker = reinterpret_cast<EvMessageContainer*>(&a);
    GetOldestArchFileRet_t r;
    r.msgContainer = marker;
    ASSERT_EQ(am.getOldestArchFile(&a, &r), 0);
    EXPECT_EQ(r.creationTime, static_cast<uint64_t>(T));
    EXPECT_EQ(r.archFile.archFileId, static_cast<uint64_t>(j1.dataFiles[0]));
    EXPECT_EQ(r.copyId, static_cast<uint64_t>(copy1));
    EXPECT_EQ(r.msgContainer, marker);

    // Mode 4 takes any kind: an index file older than every data file.
    change([&](hubdb::HubDbSeed& s, archmgr::ArchiveSeed&) {
        int job = s.addJob({.appId = sA, .level = 2, .startTime = T - 50});
        s.addArchFile({.appId = sA, .jobId = job, .fileType = 2, .cTime = T - 50, .storagePolicyId = sp});
    });
    ASSERT_EQ(am.getOldestArchFile(&a, &r), 0);
    EXPECT_EQ(r.creationTime, static_cast<uint64_t>(T));
    a.searchMode = 4;
    ASSERT_EQ(am.getOldestArchFile(&a, &r), 0);
    EXPECT_EQ(r.creationTime, static_cast<uint64_t>(T - 50));
    EXPECT_EQ(r.archFileType, 2u);

    a.appId = sB;  // never backed up
    r.creationTime = 77;
    EXPECT_EQ(am.getOldestArchFile(&a, &r), DB_NO_DATA);
    EXPECT_EQ(r.creationTime, 77u);
    a.searchMode = 3;
    EXPECT_EQ(am.getOldestArchFile(&a, &r), zydb::DB_ERR_ARGUMENT);
}

TEST_F(ArchiveManager, LastArchiveFileOfEachCycle) {
    int rc = 0;
    EXPECT_EQ(cycles(sA, 0, 0, &rc), (std::vector<int>{j2.indexFile, j5.dataFiles[0]}));
    EXPECT_EQ(rc, 0);
    // A range inside cycle 2 gives only it, closed by its newest file up to the range's end.
    EXPECT_EQ(cycles(sA, T + 2 * D + 5, T + 3 * D + 5, &rc), (std::vector<int>{idx6}));
    EXPECT_EQ(cycles(sA, T + D, T + D + 5, &rc), (std::vector<int>{j2.indexFile}));
    EXPECT_EQ(cycles(sA, T + D, T + 2 * D, &rc), (std::vector<int>{j2.indexFile, j3.dataFiles[0]}));
    // Backed up, but not in the range: 1. Never backed up: 100.
    EXPECT_TRUE(cycles(sA, 0, T - 10, &rc).empty());
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(cycles(sB, 0, 0, &rc).empty());
    EXPECT_EQ(rc, DB_NO_DATA);

    LastAfileForEachCycleArgs_t a;
    a.appId = sA;
    a.searchMode = 2;
    LastAfileForEachCycleRet_t r;
    ASSERT_EQ(am.getLastAfileForEachCycle(&a, &r), 0);
    const ArchFileByTime_t& last = r.lastAfiles.back();
    EXPECT_EQ(last.r_jobId, j5.jobId);
    EXPECT_EQ(last.r_copyId, copy1);
    EXPECT_EQ(last.r_fileType, 1);
    EXPECT_EQ(last.r_backupLevel, 2);
    EXPECT_EQ(last.r_physicalSize, 1000);
    EXPECT_EQ(last.r_logicalSize, 4000);
    a.searchMode = 1;
    EXPECT_EQ(am.getLastAfileForEachCycle(&a, &r), zydb::DB_ERR_ARGUMENT);
}

TEST_F(ArchiveManager, ArchiveFilesOfAJob) {
    GetAfileListByJobArgsHM_t a;
    a.jobId = j4.jobId;
    GetAfileListByJobRetHM_t r;
    ASSERT_EQ(am.getArchFileListByJob(&a, &r), 0);
    ASSERT_EQ(r.afiles.size(), 3u);
    EXPECT_EQ(r.afiles[0].archFileId, static_cast<uint32_t>(j4.dataFiles[0]));
    EXPECT_EQ(r.afiles[0].fileType, 1u);
    EXPECT_EQ(r.afiles[1].fileType, 2u);
    EXPECT_EQ(r.afiles[1].name, "index-" + std::to_string(j4.jobId));
    EXPECT_EQ(r.afiles[2].archFileId, static_cast<uint32_t>(idx6));
    for (const auto& e : r.afiles) {
        EXPECT_EQ(e.copyId, static_cast<uint64_t>(copy1));
        EXPECT_EQ(e.archGroupId, static_cast<uint32_t>(sp));
        EXPECT_EQ(e.kelmarchId, 2u);
        EXPECT_EQ(e.jobId, static_cast<uint32_t>(j4.jobId));
        EXPECT_EQ(e.backupLevel, 2u);
        EXPECT_GE(e.creationTime, static_cast<uint64_t>(T + 3 * D));
    }
    a.jobId = 999999;
    ASSERT_EQ(am.getArchFileListByJob(&a, &r), 0);
    EXPECT_TRUE(r.afiles.empty());
    a.listKind = 1;
    EXPECT_EQ(am.getArchFileListByJob(&a, &r), zydb::DB_ERR_ARGUMENT);
}

TEST_F(ArchiveManager, MediaAgentsOfSubclientsAndCopies) {
    GetMediaAgentArgsHM_t a;
    a.appId = sA;
    GetMediaAgentRetHM_t r;
    ASSERT_EQ(am.getRegularOrBCDIndexMediaAgent(&a, &r), 0);
    EXPECT_EQ(r.clientName, "ma1");
    EXPECT_EQ(r.hostName, "ma1.example.com");
    EXPECT_EQ(r.clientId, static_cast<uint64_t>(ma1));
    a.copyPrecedence = 2;
    ASSERT_EQ(am.getRegularOrBCDIndexMediaAgent(&a, &r), 0);
    EXPECT_EQ(r.clientName, "ma2");
    EXPECT_EQ(r.copyId, static_cast<uint64_t>(copy2));
    a.appId = sB;  // no index file: the media agent of its storage policy's copy
    ASSERT_EQ(am.getRegularOrBCDIndexMediaAgent(&a, &r), 0);
    EXPECT_EQ(r.clientName, "ma2");
    a.copyPrecedence = 3;
    EXPECT_EQ(am.getRegularOrBCDIndexMediaAgent(&a, &r), DB_NO_DATA);
    a.appId = 999999;
    EXPECT_EQ(am.getRegularOrBCDIndexMediaAgent(&a, &r), DB_NO_DATA);

    GetMediaAgentByAGCArgs_t g;
    g.archGroupId = sp;
    g.copyId = copy2;
    ASSERT_EQ(am.getMediaAgentByAGC(&g, &r), 0);
    EXPECT_EQ(r.clientName, "ma2");
    g.copyId = 0;
    ASSERT_EQ(am.getMediaAgentByAGC(&g, &r), 0);
    EXPECT_EQ(r.clientName, "ma1");
    g.archGroupId = otherSp;
    g.copyId = copy2;  // a copy of another storage policy
    EXPECT_EQ(am.getMediaAgentByAGC(&g, &r), DB_NO_DATA);
    EXPECT_EQ(r.clientName, "ma1");

    GetMediaAgentInfoArgsHM_t i;
    i.clientId = ma2;
    GetMediaAgentInfoRetHM_t info;
    ASSERT_EQ(am.getMediaAgentInfo(&i, &info), 0);
    EXPECT_EQ(info.hostName, "ma2.example.com");
    EXPECT_EQ(info.versionText, "9.0");
    i.clientId = client;  // a client, but no media agent
    EXPECT_EQ(am.getMediaAgentInfo(&i, &info), DB_NO_DATA);
    EXPECT_EQ(info.hostName, "ma2.example.com");
}

TEST_F(ArchiveManager, CopiesByPrecedenceAndDefaults) {
    GetCopyIdByAfileCopyPrecArgs_t a;
    a.archFileId = j1.dataFiles[0];
    a.archGroupId = sp;
    a.kelmarchId = 2;
    a.copyPrecedence = 2;
    GetCopyIdByAfileCopyPrecRet_t r;
    ASSERT_EQ(am.getCopyIdByAfileCopyPrec(&a, &r), 0);
    EXPECT_EQ(r.copyId, static_cast<uint64_t>(copy2));
    a.copyPrecedence = 0;
    a.archGroupId = 0;  // the file's own storage policy
    ASSERT_EQ(am.getCopyIdByAfileCopyPrec(&a, &r), 0);
    EXPECT_EQ(r.copyId, static_cast<uint64_t>(copy1));
    a.archFileId = j3.dataFiles[0];  // aged on copy 2
    a.copyPrecedence = 2;
    EXPECT_EQ(am.getCopyIdByAfileCopyPrec(&a, &r), DB_NO_DATA);

    unsigned long copy = 0;
    ASSERT_EQ(am.getAGCFromAGAndCopy(sp, 2, &copy, nullptr), 0);
    EXPECT_EQ(copy, static_cast<unsigned long>(copy2));
    ASSERT_EQ(am.getAGCFromAGAndCopy(sp, 0, copy, nullptr), 0);
    EXPECT_EQ(copy, static_cast<unsigned long>(copy1));
    EXPECT_EQ(am.getAGCFromAGAndCopy(sp, 5, &copy, nullptr), DB_NO_DATA);
    EXPECT_EQ(copy, static_cast<unsigned long>(copy1));
    EXPECT_EQ(am.getAGCFromAGAndCopy(sp, 0, nullptr, nullptr), zydb::DB_ERR_ARGUMENT);
    {
        DBtran tran(true);
        ASSERT_EQ(am.getAGCFromAGAndCopy(otherSp, 1, &copy, &tran), 0);
        EXPECT_NE(copy, static_cast<unsigned long>(copy1));
    }

    int snap = -1, nonSnap = -1;
    ASSERT_EQ(am.getDefaultSnapCopy(sp, snap), 0);
    EXPECT_EQ(snap, 0);
    ASSERT_EQ(am.getDefaultNonSnapCopy(sp, nonSnap), 0);
    EXPECT_EQ(nonSnap, copy1);
    change([&](hubdb::HubDbSeed& s, archmgr::ArchiveSeed&) { s.setSnapCopy(copy1); });
    ASSERT_EQ(am.getDefaultSnapCopy(sp, snap), 0);
    EXPECT_EQ(snap, copy1);
    ASSERT_EQ(am.getDefaultNonSnapCopy(sp, nonSnap), 0);
    EXPECT_EQ(nonSnap, copy2);
    // The policy's named default snapshot copy wins over the lowest precedence, but only while it
    // is a snapshot copy of that policy.
    change([&](hubdb::HubDbSeed& s, archmgr::ArchiveSeed&) {
        s.setSnapCopy(copy2);
        s.exec("UPDATE archGroup SET defaultSnapCopy = ? WHERE id = ?",
               {zydb::DbValue::ofInt(copy2), zydb::DbValue::ofInt(sp)});
    });
    ASSERT_EQ(am.getDefaultSnapCopy(sp, snap), 0);
    EXPECT_EQ(snap, copy2);
    change([&](hubdb::HubDbSeed& s, archmgr::ArchiveSeed&) { s.setSnapCopy(copy2, false); });
    ASSERT_EQ(am.getDefaultSnapCopy(sp, snap), 0);
    EXPECT_EQ(snap, copy1);
    snap = 42;
    EXPECT_EQ(am.getDefaultSnapCopy(999, snap), DB_NO_DATA);
    EXPECT_EQ(snap, 42);
}

TEST_F(ArchiveManager, PrecedenceZeroFollowsTheDefaultCopy) {
    change([&](hubdb::HubDbSeed& s, archmgr::ArchiveSeed&) {
        s.setDefaultCopy(sp, copy2);
        s.ageArchFile(j5.dataFiles[0], 2);
    });
    unsigned long copy = 0;
    ASSERT_EQ(am.getAGCFromAGAndCopy(sp, 0, &copy, nullptr), 0);
    EXPECT_EQ(copy, static_cast<unsigned long>(copy2));
    // On copy 2 J5's data is aged: the latest file is J4's type-6 index; precedence 1 still has J5.
    EXPECT_EQ(byTime(false, sA, 1, 0), idx6);
    EXPECT_EQ(byTime(false, sA, 1, 0, 0, 1), j5.dataFiles[0]);
    GetOldestArchFileArgs_t a;
    a.appId = sA;
    a.searchMode = 1;
    GetOldestArchFileRet_t r;
    ASSERT_EQ(am.getOldestArchFile(&a, &r), 0);
    EXPECT_EQ(r.copyId, static_cast<uint64_t>(copy2));
}

TEST_F(ArchiveManager, ArchiveFileInfoAndInstanceSearch) {
    GetArchFileInfoArgs_t a;
    a.archFileId = j1.indexFile;
    a.kelmarchId = 2;
    GetArchFileInfoRet_t r;
    ASSERT_EQ(am.getArchFileInfo(&a, &r), 0);
    EXPECT_EQ(r.archFile.id, j1.indexFile);
    EXPECT_EQ(r.archFile.fileType, 2);
    EXPECT_EQ(r.archFile.archGroupId, sp);
    EXPECT_EQ(std::string(r.archFile.name), "index-" + std::to_string(j1.jobId));
    EXPECT_EQ(r.application.id, sA);
    EXPECT_STREQ(r.application.subclientName, "a");
    a.kelmarchId = 3;
    EXPECT_EQ(am.getArchFileInfo(&a, &r), DB_NO_DATA);

    GetAfileByTimeArgsHM_t s;
    s.searchMode = 62;
    s.searchTime = T + D + 100;
    s.optionA = -1;
    s.exactFlag = 1;
    GetAfileByTimeRetHM_t ret;
    int appId = 0, backupSet = 0;
    std::string name, bsName;
    ASSERT_EQ(am.getLastAfileOfInstance(oraClient, 22, 7, &s, &ret, appId, name, backupSet, bsName), 0);
    EXPECT_EQ(appId, o2);
    EXPECT_EQ(name, "o2");
    EXPECT_EQ(bsName, "orabs");
    EXPECT_EQ(ret.archFile.archFileId, static_cast<uint64_t>(oj2.dataFiles[0]));
    s.searchTime = 0;
    ASSERT_EQ(am.getLastAfileOfInstance(oraClient, 22, 7, &s, &ret, appId, name, backupSet, bsName), 0);
    EXPECT_EQ(appId, o1);
    EXPECT_EQ(ret.creationTime, static_cast<uint64_t>(T + 2 * D));
    appId = -5;
    EXPECT_EQ(am.getLastAfileOfInstance(oraClient, 22, 8, &s, &ret, appId, name, backupSet, bsName),
              DB_NO_DATA);
    EXPECT_EQ(appId, -5);
    s.searchMode = 2;
    EXPECT_EQ(am.getLastAfileOfInstance(oraClient, 22, 7, &s, &ret, appId, name, backupSet, bsName),
              zydb::DB_ERR_ARGUMENT);
}

TEST_F(ArchiveManager, MediaOfARestoreRange) {
    auto list = [&](uint64_t from, uint64_t to, unsigned long mask, int* rc, uint64_t app = 0) {
        std::vector<TMediaInfo> media;
        *rc = am.getMediaListForAppIdByTime(0, app ? app : sA, from, to, 0, &media, mask);
        std::vector<std::pair<std::string, uint64_t>> out;
        for (const auto& m : media) out.emplace_back(m.mediaName, m.flags);
        return out;
    };
    using L = std::vector<std::pair<std::string, uint64_t>>;
    int rc = 0;
    EXPECT_EQ(list(T + 2 * D + 5, 0, 10, &rc), (L{{"M2", 10}, {"M3", 8}}));
    EXPECT_EQ(list(T + 2 * D + 5, 0, 2, &rc), (L{{"M2", 2}}));
    EXPECT_EQ(list(T, T + D + 5, 10, &rc), (L{{"M1", 10}, {"M2", 2}}));
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(list(0, 0, 10, &rc, sB).empty());
    EXPECT_EQ(rc, DB_NO_DATA);

    std::vector<TMediaInfo> media(1);
    ASSERT_EQ(am.getMediaListForAppIdByTime(2, sA, 0, 0, 0, &media, 10), 0);
    ASSERT_EQ(media.size(), 2u);  // appended after the entry already there
    EXPECT_EQ(media[1].mediaName, "M4");
    EXPECT_EQ(media[1].flags, 10u);
    EXPECT_EQ(media[1].size, 400u);
    EXPECT_EQ(media[1].value6, static_cast<uint64_t>(copy2));
    EXPECT_EQ(media[1].text4, "ma2");

    ASSERT_EQ(am.getMediaListForAppIdByTime(0, sA, 0, 0, 0, &media, 8), 0);
    EXPECT_EQ(media.back().mediaType, 10001u);
}

TEST_F(ArchiveManager, PlantedFailures) {
    GetOldestArchFileArgs_t a;
    a.appId = sA;
    a.searchMode = 1;
    GetOldestArchFileRet_t r;
    ASSERT_TRUE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getOldestArchFile, .result = 100, .times = 1}));
    EXPECT_EQ(am.getOldestArchFile(&a, &r), 100);
    EXPECT_EQ(r.creationTime, 0u);
    EXPECT_EQ(am.getOldestArchFile(&a, &r), 0);

    // Only the mode-2 cycle searches of one subclient fail, so the mode-8 retry runs.
    hubtest::injectArchMgrFault({.op = ArchMgrOp::getArchFileByTimeCycle,
                                 .result = -1,
                                 .subject = static_cast<uint64_t>(sA),
                                 .searchMode = 2});
    EXPECT_EQ(byTime(true, sA, 2, 0), -1);
    EXPECT_EQ(byTime(true, sA, 2, 0), -1);
    EXPECT_EQ(byTime(true, sA, 8, 0), j5.dataFiles[0]);
    EXPECT_EQ(byTime(true, o1, 8, 0), oj3.dataFiles[0]);
    EXPECT_EQ(byTime(false, sA, 2, 0), idx6);

    hubtest::injectArchMgrFault({.op = ArchMgrOp::getLastAfileForEachCycle, .result = 1});
    hubtest::injectArchMgrFault({.op = ArchMgrOp::getAGCFromAGAndCopy, .result = 7});
    int rc = 0;
    cycles(sA, 0, 0, &rc);
    EXPECT_EQ(rc, 1);
    unsigned long copy = 99;
    EXPECT_EQ(am.getAGCFromAGAndCopy(sp, 1, &copy, nullptr), 7);
    EXPECT_EQ(copy, 99ul);

    hubtest::clearArchMgrFaults();
    EXPECT_EQ(byTime(true, sA, 2, 0), idx6);
    EXPECT_FALSE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getMediaAgentInfo, .result = 0}));
    EXPECT_STREQ(archMgrOpName(ArchMgrOp::getMediaListForAppIdByTime), "getMediaListForAppIdByTime");
}

TEST_F(ArchiveManager, ThreadsShareTheDatabaseAndThePlantedFailures) {
    // Ten planted failures are taken exactly once in all, whichever threads meet them.
    hubtest::injectArchMgrFault({.op = ArchMgrOp::getArchFileByTimeCycle, .result = -7, .times = 10});
    std::atomic<int> planted{0}, found{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&] {
            ArchiveManagerHM own(nullptr);
            for (int n = 0; n < 20; ++n) {
                GetAfileByTimeArgsHM_t a;
                a.appId = sA;
                a.searchMode = 2;
                GetAfileByTimeRetHM_t r;
                int rc = own.getArchFileByTimeCycle(&a, &r);
                if (rc == -7)
                    ++planted;
                else if (rc == 0 && r.archFile.archFileId == static_cast<uint64_t>(idx6))
                    ++found;
                else
                    ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(planted.load(), 10);
    EXPECT_EQ(found.load(), 70);
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ArchiveManager, DatabaseErrorsAreNeverNothingFound) {
    zydb::CDbEnv::close();
    GetOldestArchFileArgs_t a;
    a.appId = sA;
    a.searchMode = 1;
    GetOldestArchFileRet_t r;
    int rc = am.getOldestArchFile(&a, &r);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, DB_NO_DATA);
    EXPECT_EQ(byTime(true, sA, 2, 0), zydb::DB_ERR_NOT_OPEN);
    int copy = 0;
    EXPECT_EQ(am.getDefaultSnapCopy(sp, copy), zydb::DB_ERR_NOT_OPEN);
    GetArchFileInfoArgs_t i;
    i.archFileId = j1.indexFile;
    i.kelmarchId = 2;
    GetArchFileInfoRet_t info;
    rc = am.getArchFileInfo(&i, &info);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, DB_NO_DATA);
}
