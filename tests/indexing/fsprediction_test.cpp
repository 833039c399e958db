// The service's prediction clients over a seeded Hubmaster database: logical media of index, data and
// both flags become physical media and the data size; the index look-up of a conversion request runs
// only when asked; a conversion list drops only the requests it cannot convert; the index archive files
// of a VM DB browse's backup sets are found per backup set, one failing backup set leaving the others.
#include "indexing/fsprediction.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/hubdb/proc_archfileinfo.h"
#include "platform/msg/app_execute_sp.h"
#include "tests/support/prediction/predictionworld.h"

namespace {

using Conv = databrowse::MediaPredictionConvReq::f;

databrowse::LogicalMedia logical(uint64_t flags, int archFileId) {
    databrowse::LogicalMedia m;
    ZyEntities::KelmarchEntity kelmarch;
    kelmarch.setint64(ZyEntities::KelmarchEntity::f::kelmarchId, 2);
    m.setObjectAccessor(kelmarch, databrowse::LogicalMedia::f::kelmarch);
    m.setint64(databrowse::LogicalMedia::f::flags, static_cast<int64_t>(flags));
    m.setint64(databrowse::LogicalMedia::f::archFileId, archFileId);
    return m;
}

databrowse::MediaPredictionConvReq conversion(const std::vector<std::pair<uint64_t, int>>& media) {
    databrowse::MediaPredictionConvReq request;
    std::vector<CNMessageBase> items;
    for (auto [flags, file] : media) {
        databrowse::PredictionData item;
        item.setObjectAccessor(logical(flags, file), databrowse::PredictionData::f::logicalMedia);
        items.push_back(item);
    }
    request.setlistobject(Conv::predictionData, items);
    return request;
}

// (medium id, flags) of each predicted medium.
std::set<std::pair<int64_t, int64_t>> mediaOf(std::vector<CNMessageBase>& physical) {
    std::set<std::pair<int64_t, int64_t>> out;
    for (CNMessageBase& m : physical)
        out.insert({m.getint64(databrowse::PhysicalMedia::f::mediaId),
                    m.getint64(databrowse::PhysicalMedia::f::flags)});
    return out;
}

std::set<std::pair<int64_t, int64_t>> mediaOf(databrowse::MediaPredictionConvResp& response) {
    std::vector<CNMessageBase> physical;
    for (CNMessageBase& item :
         *response.getlistobject(databrowse::MediaPredictionConvResp::f::predictionData, true))
        physical.push_back(*item.getObjectAccessor(databrowse::PredictionData::f::physicalMedia, false));
    return mediaOf(physical);
}

class FsPrediction : public ::testing::Test {
protected:
    void SetUp() override {
        world.build();
        world.open();
    }
    void TearDown() override {
        hubdb::registerHubProcedures();  // a test may have replaced one
        world.close();
    }
    hubtest::PredictionWorld world;
};

TEST_F(FsPrediction, IndexDataAndBothFlagsBecomeTheirPhysicalMediaAndDataSize) {
    // 0x2 | 0x8 is an index location: dataB's medium is predicted as an index medium, its size not counted.
    auto request =
        conversion({{0x2, world.indexA}, {0x8, world.dataA1}, {0xA, world.dataB}, {0x10, world.dataA2}});
    CFsPredictionClient client;
    databrowse::MediaPredictionConvResp response;
    ASSERT_EQ(client.doPhysicalMediaConversion(request, response), 1);
    EXPECT_EQ(mediaOf(response), (std::set<std::pair<int64_t, int64_t>>{
                                     {world.mIndex, 0x2}, {world.mData, 0x8}, {world.mB, 0x2}}));
    EXPECT_EQ(response.getint64(databrowse::MediaPredictionConvResp::f::totalDataSize), 1000);
}

TEST_F(FsPrediction, TheIndexLookUpRunsOnlyWhenAskedAndAZeroTotalStaysUnset) {
    // Element 2 = 0: the unknown backup set is never looked up.
    auto request = conversion({{0x8, world.dataB}});
    request.setstring(Conv::backupSetGUID, "NO-SUCH-GUID");
    CFsPredictionClient skipping;
    databrowse::MediaPredictionConvResp response;
    ASSERT_EQ(skipping.doPhysicalMediaConversion(request, response), 1);
    EXPECT_EQ(mediaOf(response), (std::set<std::pair<int64_t, int64_t>>{{world.mB, 0x8}}));

    request.setint64(Conv::lookUpIndexFiles, 1);
    CFsPredictionClient failing;
    databrowse::MediaPredictionConvResp refused;
    EXPECT_EQ(failing.doPhysicalMediaConversion(request, refused), 0);

    // The index files of backup set A's database come from the look-up; only index media: no size.
    auto indexOnly = conversion({});
    indexOnly.setint64(Conv::lookUpIndexFiles, 1);
    indexOnly.setstring(Conv::backupSetGUID, "GUID-A");
    indexOnly.setstring(Conv::indexDbName, "GUID-A");
    CFsPredictionClient looking;
    databrowse::MediaPredictionConvResp found;
    ASSERT_EQ(looking.doPhysicalMediaConversion(indexOnly, found), 1);
    EXPECT_EQ(mediaOf(found), (std::set<std::pair<int64_t, int64_t>>{{world.mIndex, 0x2}}));
    EXPECT_FALSE(found.isSet(databrowse::MediaPredictionConvResp::f::totalDataSize));

    CFsPredictionClient nothing;  // a file no medium holds: no prediction
    auto unknown = conversion({{0x8, 999}});
    databrowse::MediaPredictionConvResp empty;
    EXPECT_EQ(nothing.doPhysicalMediaConversion(unknown, empty), 0);
}

TEST_F(FsPrediction, AConversionListDropsOnlyTheRequestsItCannotConvert) {
    using Q = Indexing::PredictionConversionReq::f;
    Indexing::PredictionConversionReqList list;
    list.setint64(Indexing::PredictionConversionReqList::f::copyPrecedence, 2);
    std::vector<CNMessageBase> requests;
    for (int offset : {1, 0, 3}) {
        Indexing::PredictionConversionReq request;
        if (offset != 0) request.setint64(Q::requestOffset, offset);
        request.setlistobject(Q::logicalMedia, {logical(0x8, world.dataA1), logical(0x8, world.dataA2)});
        requests.push_back(request);
    }
    list.setlistobject(Indexing::PredictionConversionReqList::f::requests, requests);
    CFastBrowsePredictionHandler handler(list);
    ASSERT_EQ(handler.doPhysicalMediaConversion(), 1);
    auto* responses = handler.getPredictionResp().getlistobject(
        Indexing::PredictionConversionRespList::f::responses, false);
    ASSERT_NE(responses, nullptr);
    ASSERT_EQ(responses->size(), 2u);
    using P = Indexing::PredictionConversionResp::f;
    EXPECT_EQ((*responses)[0].getint64(P::requestOffset), 1);
    EXPECT_EQ((*responses)[1].getint64(P::requestOffset), 3);
    // Copy 2 holds dataA1 only.
    EXPECT_EQ(mediaOf(*(*responses)[1].getlistobject(P::physicalMedia, true)),
              (std::set<std::pair<int64_t, int64_t>>{{world.mCopy2, 0x8}}));
    EXPECT_EQ((*responses)[1].getint64(P::totalDataSize), 1000);

    Indexing::PredictionConversionReqList none;
    CFastBrowsePredictionHandler idle(none);
    EXPECT_EQ(idle.doPhysicalMediaConversion(), 1);
    EXPECT_EQ(
        idle.getPredictionResp().getlistobject(Indexing::PredictionConversionRespList::f::responses, false),
        nullptr);
}

class VsaDbIndex : public FsPrediction {
protected:
    // Data locations of backup set B's file, then A's: the backup sets are looked up in that order.
    void addDataLocations() {
        for (int file : {world.dataB, world.dataA1}) {
            TLocationInfo l;
            l.flags = kPredictDataLocation;
            l.archFileId = static_cast<uint64_t>(file);
            l.kelmarchId = 2;
            ASSERT_EQ(client.addDataLocationInfo(&l), 0);
        }
    }
    std::multiset<uint64_t> indexFiles() {
        std::multiset<uint64_t> out;
        for (const TLocationInfo& l : *client.getIndexLocationListPtr()) {
            EXPECT_EQ(l.flags, 6u);
            out.insert(l.archFileId);
        }
        return out;
    }
    CFsPredictionClient client;
};

TEST_F(VsaDbIndex, TheIndexFilesOfEveryBackupSetOfTheFilesAreAdded) {
    addDataLocations();
    client.addIndexLocationInfoForVSADB(false);
    EXPECT_EQ(indexFiles(), (std::multiset<uint64_t>{static_cast<uint64_t>(world.indexA),
                                                     static_cast<uint64_t>(world.indexB)}));
    EXPECT_FALSE(client.isIndexMissingInMedia());
}

TEST_F(VsaDbIndex, ABackupSetWhoseLookUpFailsIsSkippedWithoutRepeatingTheOthers) {
    App_ExecuteSP::registerProcedure(
        Indexing::GetArchFileInfoForJobs::TAG, "AppGetArchFileInfoForJobs",
        [](const std::string& requestXml, std::string& responseXml, void* context) {
            Indexing::GetArchFileInfoForJobs request;
            if (request.unserialize(requestXml) == 0 &&
                request.getstring(Indexing::GetArchFileInfoForJobs::f::backupSetGUID) == "GUID-A")
                return -1;
            return hubdb::appGetArchFileInfoForJobsTagProc(requestXml, responseXml, context);
        });
    addDataLocations();
    client.addIndexLocationInfoForVSADB(false);
    EXPECT_EQ(indexFiles(), (std::multiset<uint64_t>{static_cast<uint64_t>(world.indexB)}));
}

TEST_F(VsaDbIndex, IndexFilesMissingInTheCopyMarkTheClientAndAddNothingOfThatBackupSet) {
    world.age(world.indexA, 1);
    addDataLocations();
    client.addIndexLocationInfoForVSADB(false);
    EXPECT_EQ(indexFiles(), (std::multiset<uint64_t>{static_cast<uint64_t>(world.indexB)}));
    EXPECT_TRUE(client.isIndexMissingInMedia());
}

}  // namespace
