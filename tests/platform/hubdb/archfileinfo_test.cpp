// AppGetArchFileInfoForJobs run by request tag over a seeded database: the index files of a backup
// set's database on a copy, by time range or job list, with data files when asked; a subclient-level
// database; files missing in the copy; unknown backup sets and databases refused.
#include <gtest/gtest.h>

#include <set>

#include "platform/msg/app_execute_sp.h"
#include "platform/msg/msg_classes.h"
#include "tests/support/prediction/predictionworld.h"

namespace {

using Q = Indexing::GetArchFileInfoForJobs::f;

class ArchFileInfo : public ::testing::Test {
protected:
    void SetUp() override {
        world.build();
        world.open();
    }
    void TearDown() override { world.close(); }

    Indexing::GetArchFileInfoForJobs request(const std::string& guid, const std::string& db,
                                             int indexOnly = 1) {
        Indexing::GetArchFileInfoForJobs r;
        r.setstring(Q::backupSetGUID, guid);
        r.setstring(Q::indexDbName, db);
        r.setint64(Q::indexFilesOnly, indexOnly);
        return r;
    }
    // The archive files of the answer, or -1 in the set when the run failed.
    std::set<int64_t> run(Indexing::GetArchFileInfoForJobs& r, bool* missing = nullptr) {
        Indexing::GetArchFileInfoForJobs reply;
        if (I2::Utils::ExecuteAppMgrSP(Indexing::GetArchFileInfoForJobs::TAG, r, reply).IsError())
            return {-1};
        if (missing) *missing = reply.getint64(Q::indexMissingInCopy) != 0;
        std::set<int64_t> files;
        for (CNMessageBase& f : *reply.getlistobject(Q::jobArchFiles, true))
            files.insert(f.getint64(Indexing::JobArchFileInfo::f::archFileId));
        return files;
    }
    hubtest::PredictionWorld world;
};

TEST_F(ArchFileInfo, IndexFilesOfTheDatabaseWithDataFilesWhenAsked) {
    auto byGuid = request("guid-a", "");  // GUIDs compare without regard to case
    bool missing = true;
    EXPECT_EQ(run(byGuid, &missing), (std::set<int64_t>{world.indexA}));
    EXPECT_FALSE(missing);
    auto all = request("GUID-A", "GUID-A", 0);
    EXPECT_EQ(run(all), (std::set<int64_t>{world.dataA1, world.dataA2, world.indexA}));
    // The subclient's own database.
    std::string scGuid = hubdb::HubDbSeed::makeGuid(4, world.scB);
    auto sub = request("GUID-B", scGuid);
    EXPECT_EQ(run(sub), (std::set<int64_t>{world.indexB}));
}

TEST_F(ArchFileInfo, TheTimeRangeAndTheJobListChooseTheFiles) {
    auto before = request("GUID-A", "");
    Indexing::Msg282 range;
    range.setint64(Indexing::Msg282::f::toTime, hubtest::PredictionWorld::kTime - 1);
    before.setObjectAccessor(range, Q::at18_24);
    EXPECT_TRUE(run(before).empty());

    auto jobs = request("GUID-A", "");
    databrowse::JobInfo other;
    other.setint64(databrowse::JobInfo::f::jobId, world.jobB);
    jobs.setint64(Q::useJobList, 1);
    jobs.setlistobject(Q::jobList, {other});
    EXPECT_TRUE(run(jobs).empty());
    databrowse::JobInfo own;
    own.setint64(databrowse::JobInfo::f::jobId, world.jobA);
    jobs.setlistobject(Q::jobList, {own});
    EXPECT_EQ(run(jobs), (std::set<int64_t>{world.indexA}));
}

TEST_F(ArchFileInfo, AgedIndexFilesAreMissingAndUnknownNamesAreRefused) {
    world.age(world.indexA, 1);
    auto aged = request("GUID-A", "");
    bool missing = false;
    EXPECT_TRUE(run(aged, &missing).empty());
    EXPECT_TRUE(missing);
    auto unknownSet = request("GUID-X", "");
    EXPECT_EQ(run(unknownSet), (std::set<int64_t>{-1}));
    auto unknownDb = request("GUID-A", "someone else's database");
    EXPECT_EQ(run(unknownDb), (std::set<int64_t>{-1}));
}

}  // namespace
