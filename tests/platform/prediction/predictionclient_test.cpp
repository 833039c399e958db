// The prediction client over a seeded Hubmaster database: locations become the media that hold them on
// a copy with the data size, duplicates merge, unresolved locations mark the list incomplete, the
// prediction reaches a return channel through the predictor, NAS jobs add their other data files, and
// a failing media look-up appends nothing.
#include "platform/prediction/predictionclient.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/security/evalertex.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "tests/support/archive/archmgr_faults.h"
#include "tests/support/prediction/predictionworld.h"

namespace {

TLocationInfo location(uint64_t flags, int archFileId, uint64_t size = 0) {
    TLocationInfo l;
    l.flags = flags;
    l.archFileId = static_cast<uint64_t>(archFileId);
    l.kelmarchId = 2;
    l.size = size;
    return l;
}

class Prediction : public ::testing::Test {
protected:
    void SetUp() override {
        world.build();
        world.open();
    }
    void TearDown() override {
        hubtest::clearArchMgrFaults();
        world.close();
    }
    void addIndex(int file) {
        TLocationInfo l = location(kPredictIndexLocation, file);
        ASSERT_EQ(client.addIndexLocationInfo(&l), 0);
    }
    void addData(int file, uint64_t size = 0) {
        TLocationInfo l = location(kPredictDataLocation, file, size);
        ASSERT_EQ(client.addDataLocationInfo(&l), 0);
    }
    const TMediaInfo* medium(int id) {
        for (const TMediaInfo& m : *client.getMediaListPtr())
            if (m.mediaId == static_cast<uint64_t>(id)) return &m;
        return nullptr;
    }

    hubtest::PredictionWorld world;
    CPredictionClient client;
};

TEST_F(Prediction, LocationsBecomeTheMediaThatHoldThemWithTheDataSize) {
    addIndex(world.indexA);
    addData(world.dataA1);
    addData(world.dataA2, 123);  // a range of the file: its own size counts
    EXPECT_EQ(client.addIndexMedia(0), 1);
    EXPECT_EQ(client.addDataMedia(0), 2);
    EXPECT_EQ(normalizeMediaList(client.getMediaListPtr()), 1);
    ASSERT_EQ(client.getMediaListPtr()->size(), 2u);
    ASSERT_NE(medium(world.mIndex), nullptr);
    EXPECT_EQ(medium(world.mIndex)->flags, kPredictIndexLocation);
    ASSERT_NE(medium(world.mData), nullptr);
    EXPECT_EQ(medium(world.mData)->flags, kPredictDataLocation);
    EXPECT_EQ(medium(world.mData)->value8, 2u);
    EXPECT_EQ(medium(world.mData)->text1, "DATA-1");
    EXPECT_EQ(client.getTotalDataSize(), 1000 + 123);
    EXPECT_TRUE(client.isIndexRestoreNeeded());
    EXPECT_TRUE(client.isListMediaPrecise());
}

TEST_F(Prediction, TheCopyPrecedenceChoosesTheMediaAndUnheldFilesMakeTheListIncomplete) {
    addData(world.dataA1);
    addData(world.dataA2);
    EXPECT_EQ(client.addDataMedia(2), 1);
    ASSERT_EQ(client.getMediaListPtr()->size(), 1u);
    EXPECT_EQ(client.getMediaListPtr()->front().mediaId, static_cast<uint64_t>(world.mCopy2));
    EXPECT_EQ(client.getTotalDataSize(), 1000);
    EXPECT_TRUE(client.isIncompleteMediaList());
    EXPECT_FALSE(client.isListMediaPrecise());
    // No index location: nothing to predict for the index.
    EXPECT_TRUE(client.haveToSkipIndexingMedia());
    EXPECT_EQ(client.addIndexMedia(2), 0);
}

TEST_F(Prediction, RecordsThatNameNoFileAreRefusedAndInitForgetsEverything) {
    EXPECT_NE(client.addIndexLocationInfo(nullptr), 0);
    TLocationInfo none;
    EXPECT_NE(client.addDataLocationInfo(&none), 0);
    EXPECT_FALSE(client.haveLocationData());
    addData(world.dataB);
    client.setIndexMissingInCopy(true);
    EXPECT_EQ(client.addDataMedia(0), 1);
    EXPECT_FALSE(client.isListMediaPrecise());
    EXPECT_EQ(client.init(nullptr, false), 0);
    EXPECT_FALSE(client.haveLocationData());
    EXPECT_TRUE(client.getMediaListPtr()->empty());
    EXPECT_EQ(client.getTotalDataSize(), 0);
    EXPECT_FALSE(client.isIndexMissingInMedia());
}

TEST(NormalizeMediaList, MergesTheEntriesOfOneMediumOnOneCopy) {
    auto m = [](uint64_t id, uint64_t copy, uint64_t flags, uint64_t files) {
        TMediaInfo x;
        x.mediaId = id;
        x.value6 = copy;
        x.flags = flags;
        x.value8 = files;
        return x;
    };
    TMediaList list{m(5, 1, 2, 1), m(3, 1, 8, 1), m(5, 1, 8, 2), m(5, 2, 8, 1), m(3, 1, 8, 4)};
    EXPECT_EQ(normalizeMediaList(&list), 2);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].mediaId, 3u);
    EXPECT_EQ(list[0].value8, 5u);
    EXPECT_EQ(list[1].mediaId, 5u);
    EXPECT_EQ(list[1].flags, 10u);
    EXPECT_EQ(list[1].value8, 3u);
    EXPECT_EQ(list[2].value6, 2u);
    EXPECT_EQ(normalizeMediaList(nullptr), -1);
}

TEST_F(Prediction, ThePredictionReachesTheReturnChannelThroughThePredictor) {
    constexpr long long kJob = 4242;
    auto destination = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(kJob, destination);
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    CPredictor predictor;
    EXPECT_EQ(client.apiSendPredictionResults(predictor), -1);  // not bound yet
    ASSERT_EQ(predictor.init(&client, &channel), 0);
    addIndex(world.indexB);
    addData(world.dataA1);
    ASSERT_EQ(client.addIndexMedia(0), 1);
    ASSERT_EQ(client.addDataMedia(0), 1);
    ASSERT_EQ(client.apiSendPredictionResults(predictor), 0);
    EXPECT_EQ(client.getSequenceNumber(), 1);
    channel.dumpBuffer(9);
    auto items = destination->payloads(EV_RETURN_RECORD_XML_ITEM);
    EvReturnDestinations::unregisterDestination(kJob);
    ASSERT_EQ(items.size(), 1u);
    databrowse::BrowseResponse response;
    ASSERT_EQ(response.unserialize(items[0]), 0);
    EXPECT_EQ(response.getint64(databrowse::BrowseResponse::f::respType), 1);
    auto* predicted = response.getlistobject(databrowse::BrowseResponse::f::predictions, false);
    ASSERT_NE(predicted, nullptr);
    ASSERT_EQ(predicted->size(), 2u);
    std::vector<std::string> barcodes;
    for (CNMessageBase& item : *predicted)
        barcodes.push_back(item.getObjectAccessor(databrowse::PredictionData::f::physicalMedia, false)
                               ->getstring(databrowse::PhysicalMedia::f::barcode));
    EXPECT_EQ(barcodes, (std::vector<std::string>{"B-1", "DATA-1"}));
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->getstring(databrowse::BrowseResult::f::queryId), "TotalMediaSize");
    auto* totals = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false);
    ASSERT_TRUE(totals && totals->size() == 1);
    EXPECT_EQ(totals->front().getint64(databrowse::AggregateResult::f::count), 1000);
}

TEST_F(Prediction, NasJobsAddTheirOtherDataFilesOnce) {
    addData(world.dataA1);
    EXPECT_EQ(client.addNasHDRandACLLocationInfo(), 1);
    ASSERT_EQ(client.getDataLocationListPtr()->size(), 2u);
    EXPECT_EQ(client.getDataLocationListPtr()->back().archFileId, static_cast<uint64_t>(world.dataA2));
    EXPECT_EQ(client.addNasHDRandACLLocationInfo(), 0);
}

TEST_F(Prediction, AFailingMediaLookUpAppendsNothingAndAnAlertCarriesItsText) {
    addData(world.dataB);
    addData(world.dataA1);
    ASSERT_TRUE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getMediaListForArchFile,
                                             .result = -7,
                                             .subject = static_cast<uint64_t>(world.dataA1)}));
    EXPECT_EQ(client.addDataMedia(0), -7);
    EXPECT_TRUE(client.getMediaListPtr()->empty());
    EXPECT_EQ(client.getTotalDataSize(), 0);
    char text[] = "media prediction is incomplete";
    ASSERT_EQ(client.sendAlert(text), 0);
    auto alerts = CAlertStore::snapshot();
    ASSERT_FALSE(alerts.empty());
    EXPECT_EQ(alerts.back().message, text);
}

TEST_F(Prediction, ARestoreWithoutLocationsPredictsItsSubclientsMediaAndReportsThem) {
    EvRestoreTask task;
    task.setJobId(77);
    task.setSubClientId(world.scB);
    task.setToTime(hubtest::PredictionWorld::kTime);
    ASSERT_EQ(client.init(&task, true), 0);
    EXPECT_EQ(client.addDataMedia(0), 1);
    ASSERT_EQ(client.getMediaListPtr()->size(), 1u);
    EXPECT_EQ(client.getMediaListPtr()->front().mediaId, static_cast<uint64_t>(world.mB));
    EXPECT_EQ(client.getMediaListPtr()->front().flags, kPredictIndexLocation | kPredictDataLocation);

    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(client.addHeaderToReport(file), 0);
    EXPECT_EQ(client.addOptionsToReport(file), 0);
    EXPECT_EQ(client.addMediaListToReport(file), 0);
    EXPECT_EQ(client.addFooterToReport(file), 0);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(file);
    EXPECT_NE(text.find("job [77]"), std::string::npos) << text;
    EXPECT_NE(text.find("[B-1] flags [10]"), std::string::npos) << text;
    EXPECT_NE(text.find("Media: 1,"), std::string::npos) << text;
    EXPECT_EQ(client.addFooterToReport(nullptr), -1);
}

}  // namespace
