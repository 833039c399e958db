// The index service's answer to an indexing-V1 request against the same browse read straight from the
// item index: a directory at a point in time and over a range, pages with counts, the cycles the
// request names, reference-copy cut-offs, prediction items, an unknown subclient refused, one end.
#include "tools/mediaagent/superbrowseanswer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/tools/mediaagent/mediaagent_world.h"

namespace {

using mediaagent::CItemIndex;
using mediaagent::TBrowseQuery;
using mediaagent::TIndexBrowsePlan;
using mediaagent::TItemVersion;
using R = Indexing::BrowseReq::f;

// Every response of one answer, kept.
struct TAnswer {
    std::vector<databrowse::BrowseResponse> responses;
    std::vector<std::string> paths() {
        std::vector<std::string> out;
        for (auto& r : responses) {
            CNMessageBase* result = r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            for (size_t n = 0; items && n < items->size(); ++n)
                out.push_back((*items)[n].getstring(databrowse::BrowseData::f::path));
        }
        return out;
    }
    int64_t type(size_t n) { return responses[n].getint64(databrowse::BrowseResponse::f::respType); }
};

class SuperBrowseAnswer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        world = new hubtest::CMediaAgentWorld("sbanswer");
        ASSERT_TRUE(world->ok()) << world->error();
        ASSERT_TRUE(mediaagent::loadAgentPlan(world->hubDb(), "mediaagent1", world->plan, error()))
            << error();
        ASSERT_TRUE(world->build("ma1.items.db", hubtest::CMediaAgentWorld::testScale())) << world->error();
    }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }
    static std::string& error() {
        static std::string e;
        return e;
    }
    void SetUp() override {
        std::string why;
        index = CItemIndex::open(world->path("ma1.items.db"), why);
        ASSERT_TRUE(index) << why;
        appId = world->world.fileSubclient;
        std::vector<mediaagent::TIndexJob> jobs;
        ASSERT_TRUE(index->jobs(appId, jobs));
        ASSERT_GE(jobs.size(), 3u);
        lastTime = jobs.back().time;
        midTime = jobs[jobs.size() / 2].time;
    }

    Indexing::BrowseReq request(int64_t to, int64_t from = 0, const std::string& path = "/") {
        Indexing::BrowseReq r;
        r.setstring(R::workerId, "17");
        r.setstring(R::browseSessionGuid, "s-1");
        r.setint64(R::subclientId, appId);
        r.setint64(R::toTime, to);
        r.setint64(R::fromTime, from);
        r.setliststring(R::sourcePaths, {path});
        return r;
    }
    static databrowse::Query page(uint32_t skip, uint32_t size, bool count = false) {
        databrowse::Query q;
        q.setint64(databrowse::Query::f::type, 0);
        q.setstring(databrowse::Query::f::queryId, count ? "count" : "data");
        databrowse::Msg6 paging;
        paging.setint64(databrowse::Msg6::f::skipNode, skip);
        paging.setint64(databrowse::Msg6::f::pageSize, size);
        q.getObjectAccessor(databrowse::Query::f::dataParam, true)
            ->setObjectAccessor(paging, databrowse::DataParam::f::at2_2);
        if (count)
            q.getObjectAccessor(databrowse::Query::f::c_46937c, true)
                ->setint64(databrowse::Msg70::f::queryType, 4);
        return q;
    }
    TAnswer answer(Indexing::BrowseReq& r, uint32_t batch = 50) {
        TAnswer a;
        TIndexBrowsePlan plan;
        std::string why;
        if (!mediaagent::planIndexBrowse(r, *index, plan, why))
            mediaagent::answerIndexBrowseRefusal(plan, why, [&](databrowse::BrowseResponse& x) {
                a.responses.push_back(x);
                return true;
            });
        else
            mediaagent::answerIndexBrowse(plan, *index, batch, [&](databrowse::BrowseResponse& x) {
                a.responses.push_back(x);
                return true;
            });
        return a;
    }
    std::vector<std::string> direct(TBrowseQuery q, bool range) {
        std::vector<TItemVersion> versions;
        bool found = false;
        EXPECT_TRUE(range ? index->listRange(q, versions, found) : index->listAt(q, versions, found));
        std::vector<std::string> out;
        for (const TItemVersion& v : versions) out.push_back(v.path);
        return out;
    }

    static hubtest::CMediaAgentWorld* world;
    std::unique_ptr<CItemIndex> index;
    int appId = 0;
    int64_t lastTime = 0, midTime = 0;
};

hubtest::CMediaAgentWorld* SuperBrowseAnswer::world = nullptr;

TEST_F(SuperBrowseAnswer, PointInTimeAndRangeAgreeWithTheIndexAndEndOnce) {
    Indexing::BrowseReq r = request(midTime);
    TAnswer a = answer(r);
    ASSERT_FALSE(a.responses.empty());
    EXPECT_EQ(a.type(a.responses.size() - 1), 5);
    for (size_t n = 0; n + 1 < a.responses.size(); ++n) {
        EXPECT_EQ(a.type(n), 0);
        EXPECT_EQ(a.responses[n].getstring(databrowse::BrowseResponse::f::workerId), "17");
    }
    TBrowseQuery q;
    q.appId = appId;
    q.toTime = midTime;
    const auto expected = direct(q, false);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(a.paths(), expected);

    Indexing::BrowseReq ranged = request(lastTime, midTime);
    TBrowseQuery rq = q;
    rq.toTime = lastTime;
    rq.fromTime = midTime;
    EXPECT_EQ(answer(ranged, 7).paths(), direct(rq, true));
}

TEST_F(SuperBrowseAnswer, PagesAndCountsFollowTheQueries) {
    Indexing::BrowseReq r = request(lastTime);
    r.setlistobject(R::queries, {page(0, 0, true), page(5, 20)});
    TAnswer a = answer(r, 8);
    TBrowseQuery q;
    q.appId = appId;
    q.toTime = lastTime;
    int64_t count = 0;
    bool found = false;
    ASSERT_TRUE(index->countAt(q, count, found));
    CNMessageBase* result =
        a.responses[0].getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false)
                  ->front()
                  .getint64(databrowse::AggregateResult::f::count),
              count);
    q.skip = 5;
    q.pageSize = 20;
    EXPECT_EQ(a.paths(), direct(q, false));
}

TEST_F(SuperBrowseAnswer, CutOffsPredictionsAndRefusals) {
    Indexing::BrowseReq r = request(lastTime);
    Indexing::BackupCycle cycle;
    cycle.setint64(Indexing::BackupCycle::f::appId, appId);
    cycle.setint64(Indexing::BackupCycle::f::toTime, midTime);
    databrowse::FilteredBrowseCriteriaValue value;
    value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, 73);
    value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, 4);
    value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {std::to_string(midTime)});
    databrowse::Criteria criteria;
    criteria.setObjectAccessor(value, databrowse::Criteria::f::criteria);
    databrowse::Query sub;
    sub.setlistobject(databrowse::Query::f::c_b4ad36, {criteria});
    cycle.setObjectAccessor(sub, Indexing::BackupCycle::f::query);
    r.setlistobject(R::backupCycles, {cycle});
    TAnswer cut = answer(r);
    ASSERT_FALSE(cut.paths().empty());
    // Only what was backed up by the cut-off is shown: the same as the browse at the cut-off's cycle.
    TBrowseQuery q;
    q.appId = appId;
    q.toTime = midTime;
    q.cycles = {index->cycleAt(appId, midTime)};
    const auto atCutOff = direct(q, false);
    for (const std::string& p : cut.paths())
        EXPECT_NE(std::find(atCutOff.begin(), atCutOff.end(), p), atCutOff.end()) << p;

    Indexing::BrowseReq predict = request(lastTime);
    predict.setint64(R::options, static_cast<int64_t>(1ULL << 38));
    TAnswer p = answer(predict);
    ASSERT_EQ(p.responses.size(), 2u);
    EXPECT_EQ(p.type(0), 1);
    EXPECT_FALSE(p.responses[0].getlistobject(databrowse::BrowseResponse::f::c_728cd9, false)->empty());
    EXPECT_EQ(p.type(1), 5);

    Indexing::BrowseReq unknown = request(lastTime);
    unknown.setint64(R::subclientId, 987654);
    TAnswer u = answer(unknown);
    ASSERT_EQ(u.responses.size(), 2u);
    EXPECT_EQ(u.type(0), 3);
    EXPECT_EQ(u.type(1), 5);
}

}  // namespace
