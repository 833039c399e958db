// The media-prediction tests' world: a Hubmaster database in a temporary folder with two backup sets
// (GUIDs "GUID-A" and "GUID-B") of one subclient each, one full job each with data and index files of
// known sizes on a storage policy of two copies, and the media that hold them. Opened as the process's
// database by open(); one test (one thread) at a time.
#pragma once

#include <gtest/gtest.h>

#include "platform/archive/archiveseed.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace hubtest {

struct PredictionWorld {
    static constexpr int kTime = 1700000000;

    TempDir dir;
    int sp = 0, scA = 0, scB = 0, jobA = 0, jobB = 0;
    int dataA1 = 0, dataA2 = 0, indexA = 0, dataB = 0, indexB = 0;  // archive files
    int mData = 0, mIndex = 0, mB = 0, mCopy2 = 0;                  // media

    // The log lines of the test go to its folder, removed with it.
    PredictionWorld() { EvDebugFileInstance::setLogDirectory(dir.path()); }
    ~PredictionWorld() { EvDebugFileInstance::setLogDirectory(""); }
    PredictionWorld(const PredictionWorld&) = delete;
    PredictionWorld& operator=(const PredictionWorld&) = delete;

    // Copy 1: dataA1 and dataA2 on mData, indexA on mIndex, dataB and indexB on mB. Copy 2: dataA1 on
    // mCopy2 only. Physical sizes: dataA1 1000, dataA2 500, dataB 700, index files 50.
    void build() {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        archmgr::ArchiveSeed arch(seed);
        int ma = seed.addMediaAgent({.name = "ma1"}, "11.0");
        sp = seed.addStoragePolicy("sp", ma);
        seed.addCopy(sp, 2, ma, "second");
        int client = seed.addClient({.name = "client1"});
        scA = seed.addSubclient({.clientId = client,
                                 .appTypeId = 29,
                                 .backupSetId = seed.addBackupSet("a", "GUID-A"),
                                 .name = "a",
                                 .storagePolicyId = sp});
        scB = seed.addSubclient({.clientId = client,
                                 .appTypeId = 29,
                                 .backupSetId = seed.addBackupSet("b", "GUID-B"),
                                 .name = "b",
                                 .storagePolicyId = sp});
        jobA = seed.addJob({.appId = scA, .level = 1, .startTime = kTime});
        jobB = seed.addJob({.appId = scB, .level = 1, .startTime = kTime});
        auto file = [&](int appId, int job, int type, long long size) {
            return seed.addArchFile({.appId = appId,
                                     .jobId = job,
                                     .fileType = type,
                                     .cTime = kTime,
                                     .physicalSize = size,
                                     .logicalSize = size});
        };
        dataA1 = file(scA, jobA, 1, 1000);
        dataA2 = file(scA, jobA, 1, 500);
        indexA = file(scA, jobA, 2, 50);
        dataB = file(scB, jobB, 1, 700);
        indexB = file(scB, jobB, 2, 50);
        mData = arch.addMedia({.barcode = "DATA-1", .mediaSize = 10000});
        mIndex = arch.addMedia({.barcode = "IDX-1", .mediaSize = 2000});
        mB = arch.addMedia({.barcode = "B-1", .mediaSize = 3000});
        mCopy2 = arch.addMedia({.barcode = "C2-1", .mediaSize = 4000});
        for (int f : {dataA1, dataA2}) arch.placeOnMedia(f, 1, mData);
        arch.placeOnMedia(indexA, 1, mIndex);
        for (int f : {dataB, indexB}) arch.placeOnMedia(f, 1, mB);
        arch.placeOnMedia(dataA1, 2, mCopy2);
        ASSERT_TRUE(arch.ok()) << arch.error();
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    void open() { ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), 0); }
    void close() { zydb::CDbEnv::close(); }
    // Marks an archive file aged on the copy of `precedence`.
    void age(int archFileId, int precedence) {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.ageArchFile(archFileId, precedence), 0) << seed.error();
    }
};

}  // namespace hubtest
