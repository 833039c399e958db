// The index service's answer to an indexing-V1 request against the same browse read straight from the
// item index: a directory at a point in time and over a range, pages with counts, the cycles the
// request names, reference-copy cut-offs, prediction items, an unknown subclient refused, one end; the
// answers of several requests on one kept session to a router on loopback, and the index connections kept.
#include "tools/mediaagent/superbrowseanswer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/msg/secured_message_handler.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/tools/mediaagent/mediaagent_world.h"
#include "tools/mediaagent/answerstops.h"
#include "tools/mediaagent/v2answer.h"

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
            ->setObjectAccessor(paging, databrowse::DataParam::f::paging);
        if (count)
            q.getObjectAccessor(databrowse::Query::f::queryOptions, true)
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

// A request over several subclients (one of them named twice) answers each subclient once, and its
// pages are pages of the whole answer: together they hold it, in order, each item once; its count is
// the count of the whole.
TEST_F(SuperBrowseAnswer, ARequestOverSubclientsPagesItsWholeAnswer) {
    std::vector<mediaagent::TIndexSubclient> held;
    ASSERT_TRUE(index->subclients(held));
    std::vector<int> ids{appId};
    for (const mediaagent::TIndexSubclient& h : held)
        if (h.appId != appId && ids.size() < 2) ids.push_back(h.appId);
    ASSERT_EQ(ids.size(), 2u) << "the index holds a second subclient";
    auto over = [&](const std::vector<int>& subclients, std::vector<CNMessageBase> queries) {
        databrowse::BrowseRequest r;
        r.getObjectAccessor(databrowse::BrowseRequest::f::session, true)
            ->setstring(databrowse::BrowseSession::f::sessionId, "s-2");
        r.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, true)
            ->setint64(databrowse::BrowseTimeRange::f::toTime, lastTime);
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "/");
        r.setlistobject(databrowse::BrowseRequest::f::paths, {path});
        if (!queries.empty()) r.setlistobject(databrowse::BrowseRequest::f::queries, queries);
        std::vector<CNMessageBase> list;
        for (int id : subclients) {
            databrowse::SubclientInfo subclient;
            subclient.setint64(databrowse::SubclientInfo::f::appId, id);
            list.push_back(subclient);
        }
        databrowse::IndexDBInfo database;
        database.setlistobject(databrowse::IndexDBInfo::f::subclients, list);
        r.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true)
            ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
            ->setObjectAccessor(database, databrowse::IndexingInfo::f::indexDBInfo);
        TAnswer a;
        TIndexBrowsePlan plan;
        std::string why;
        EXPECT_TRUE(mediaagent::planV2Browse(r, *index, plan, why)) << why;
        mediaagent::answerIndexBrowse(plan, *index, 3, [&](databrowse::BrowseResponse& x) {
            a.responses.push_back(x);
            return true;
        });
        return a;
    };
    std::vector<std::string> whole = over({ids[0]}, {}).paths();
    const std::vector<std::string> second = over({ids[1]}, {}).paths();
    ASSERT_FALSE(whole.empty());
    ASSERT_FALSE(second.empty());
    whole.insert(whole.end(), second.begin(), second.end());
    EXPECT_EQ(over({ids[0], ids[1], ids[0]}, {}).paths(), whole);
    // A page size that splits the first subclient's part, and one that passes it whole.
    for (uint32_t size : {7u, static_cast<uint32_t>(whole.size() - second.size() + 2)}) {
        std::vector<std::string> paged;
        for (uint32_t skip = 0; skip < whole.size() + size; skip += size) {
            const std::vector<std::string> onePage = over({ids[0], ids[1]}, {page(skip, size)}).paths();
            EXPECT_EQ(onePage.size(),
                      std::min<size_t>(size, whole.size() - std::min<size_t>(skip, whole.size())))
                << "skip " << skip;
            paged.insert(paged.end(), onePage.begin(), onePage.end());
        }
        EXPECT_EQ(paged, whole) << "page size " << size;
    }
    // A count over the subclients is one count, of the whole.
    auto counts = [&](const std::vector<int>& subclients) {
        std::vector<int64_t> out;
        for (auto& r : over(subclients, {page(0, 0, true)}).responses)
            if (CNMessageBase* result =
                    r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false))
                if (auto* aggregates =
                        result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false))
                    out.push_back(aggregates->front().getint64(databrowse::AggregateResult::f::count));
        return out;
    };
    const std::vector<int64_t> first = counts({ids[0]}), other = counts({ids[1]});
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(counts({ids[0], ids[1]}), std::vector<int64_t>{first[0] + other[0]});
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
    sub.setlistobject(databrowse::Query::f::criteriaList, {criteria});
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
    EXPECT_FALSE(p.responses[0].getlistobject(databrowse::BrowseResponse::f::predictions, false)->empty());
    EXPECT_EQ(p.type(1), 5);

    Indexing::BrowseReq unknown = request(lastTime);
    unknown.setint64(R::subclientId, 987654);
    TAnswer u = answer(unknown);
    ASSERT_EQ(u.responses.size(), 2u);
    EXPECT_EQ(u.type(0), 3);
    EXPECT_EQ(u.type(1), 5);
}

// The items written beside their responses make, spliced in, the very text of the responses built with
// them: files, directories and deletions, points in time and ranges, cut-offs, batches of any size.
TEST_F(SuperBrowseAnswer, WrittenItemsMakeTheBuiltAnswersText) {
    auto texts = [&](Indexing::BrowseReq& r, uint32_t batch, bool written, size_t& items) {
        TIndexBrowsePlan plan;
        std::string why, error;
        EXPECT_TRUE(mediaagent::planIndexBrowse(r, *index, plan, why)) << why;
        std::vector<std::string> out;
        items = 0;
        auto keep = [&](databrowse::BrowseResponse& x, const mediaagent::TWrittenItems* w) {
            std::string xml;
            EXPECT_TRUE(mediaagent::writtenResponseXml(x, w, xml, error)) << error;
            if (w) items += w->count;
            out.push_back(xml);
            return true;
        };
        if (written)
            mediaagent::answerIndexBrowseWritten(plan, *index, batch, keep);
        else
            mediaagent::answerIndexBrowse(plan, *index, batch,
                                          [&](databrowse::BrowseResponse& x) { return keep(x, nullptr); });
        return out;
    };
    Indexing::BrowseReq cut = request(lastTime);
    databrowse::FilteredBrowseCriteriaValue value;
    value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, 1);
    value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, 4);
    value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {std::to_string(midTime)});
    databrowse::Criteria criteria;
    criteria.setObjectAccessor(value, databrowse::Criteria::f::criteria);
    databrowse::Query data = page(0, 0);
    data.setlistobject(databrowse::Query::f::criteriaList, {criteria});
    cut.setlistobject(R::queries, {data});
    Indexing::BrowseReq versions = request(lastTime, 1, "/big");
    versions.setint64(R::options, static_cast<int64_t>(mediaagent::kOptionVersions));
    Indexing::BrowseReq requests[] = {request(midTime), request(lastTime, midTime), versions, cut};
    bool sawDeleted = false;
    size_t answered = 0;
    for (Indexing::BrowseReq& r : requests)
        for (uint32_t batch : {1u, 7u, 1000u}) {
            size_t built = 0, written = 0;
            const std::vector<std::string> expected = texts(r, batch, false, built);
            const std::vector<std::string> got = texts(r, batch, true, written);
            ASSERT_GT(expected.size(), 1u);
            EXPECT_EQ(got, expected) << "batch " << batch;
            size_t inText = 0;
            for (const std::string& xml : expected)
                for (size_t at = xml.find("<dataResultSet "); at != std::string::npos;
                     at = xml.find("<dataResultSet ", at + 1))
                    ++inText;
            EXPECT_EQ(written, inText);
            answered += written;
            for (const std::string& xml : expected)
                sawDeleted |= xml.find(" deleted=\"1\"") != std::string::npos;
        }
    EXPECT_TRUE(sawDeleted);
    EXPECT_GT(answered, 100u);
}

// Each item carries its version whole, in the catalogue's order and classes: the answer's XML is that of
// items set field by field from the versions read straight from the index (directories, files and
// deletions), across batches.
TEST_F(SuperBrowseAnswer, ItemsCarryTheirVersionsWhole) {
    using D = databrowse::BrowseData::f;
    using A = databrowse::Msg93::f;
    bool sawDirectory = false, sawDeletion = false;
    for (const std::string path : {"/", "/big"}) {
        Indexing::BrowseReq r = request(lastTime, 1, path);
        r.setint64(R::options, static_cast<int64_t>(mediaagent::kOptionVersions));
        TAnswer a = answer(r, 7);
        std::vector<std::string> got, expected;
        for (auto& response : a.responses) {
            CNMessageBase* result =
                response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
            auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            for (size_t n = 0; items && n < items->size(); ++n) got.push_back(messageXml((*items)[n]));
        }
        TBrowseQuery q;
        q.appId = appId;
        q.path = path;
        q.toTime = lastTime;
        q.fromTime = 1;
        std::vector<TItemVersion> versions;
        bool found = false;
        ASSERT_TRUE(index->listRange(q, versions, found));
        for (const TItemVersion& v : versions) {
            sawDirectory |= v.directory();
            sawDeletion |= v.deleted();
            databrowse::BrowseItemFlags flags;
            flags.setint64(databrowse::BrowseItemFlags::f::file, v.directory() ? 0 : 1);
            flags.setint64(databrowse::BrowseItemFlags::f::directory, v.directory() ? 1 : 0);
            if (v.deleted()) flags.setint64(databrowse::BrowseItemFlags::f::deleted, 1);
            databrowse::BrowseData data;
            data.setObjectAccessor(flags, D::flags);
            data.setstring(D::name, v.name);
            data.setstring(D::displayName, v.name);
            data.setstring(D::path, v.path);
            data.setint64(D::size, v.size);
            data.setint64(D::modificationTime, v.modificationTime);
            data.setint64(D::version, v.version);
            ZyEntities::Msg10 subclient;
            subclient.setint64(ZyEntities::Msg10::f::subclientId, appId);
            databrowse::Msg93 advanced;
            advanced.setint64(A::backupTime, v.backupTime);
            advanced.setint64(A::archiveFileId, v.archiveFileId);
            advanced.setint64(A::offset, v.offset);
            advanced.setObjectAccessor(subclient, A::subclientEntity);
            data.setObjectAccessor(advanced, D::advancedData);
            expected.push_back(messageXml(data));
        }
        EXPECT_GT(expected.size(), 7u) << path;
        EXPECT_EQ(got, expected) << path;
    }
    EXPECT_TRUE(sawDirectory && sawDeletion);
}

// An end user's filter confines the answer to his own data: a mailbox path pattern or an owner (mailbox
// GUID or object id, written either way) shows the folders leading to his data and everything in it,
// nothing of anyone else's, paged and counted alike; a pattern the index cannot apply is refused.
TEST_F(SuperBrowseAnswer, EndUserFiltersConfineTheAnswerToTheirOwnData) {
    const zyent::AppBrowseWorld& apps = world->world.apps;
    using TFilter = std::tuple<int64_t, int64_t, std::string>;  // attribute, operator, value
    auto filtered = [&](int subclient, const std::string& path, const std::vector<TFilter>& filters,
                        bool count = false) {
        Indexing::BrowseReq r = request(lastTime, 0, path);
        r.setint64(R::subclientId, subclient);
        databrowse::Query q = page(0, count ? 0 : 1000, count);
        std::vector<CNMessageBase> criteria;
        for (const auto& [attribute, op, value] : filters) {
            databrowse::FilteredBrowseCriteriaValue v;
            v.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, attribute);
            v.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, op);
            v.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {value});
            databrowse::Criteria c;
            c.setObjectAccessor(v, databrowse::Criteria::f::criteria);
            criteria.push_back(c);
        }
        q.setlistobject(databrowse::Query::f::criteriaList, criteria);
        r.setlistobject(R::queries, {q});
        return answer(r, 1);
    };
    auto confined = [&](int subclient, const std::string& path, int64_t attribute, int64_t op,
                        const std::string& value, bool count = false) {
        return filtered(subclient, path, {{attribute, op, value}}, count);
    };
    auto listed = [&](int subclient, const std::string& path) {
        TBrowseQuery q;
        q.appId = subclient;
        q.path = path;
        q.toTime = lastTime;
        return direct(q, false);
    };
    const std::string mine = "/MB/" + apps.ownerGuid, theirs = "/MB/" + apps.strangerGuid;
    ASSERT_EQ(listed(apps.mailboxSubclient, "/MB"),
              (std::vector<std::string>{theirs, mine}));  // in name order
    const std::string pattern = "\\MB\\" + apps.ownerGuid + "\\**\\*";
    std::string guid = apps.ownerGuid.substr(1, apps.ownerGuid.size() - 2);
    for (char& ch : guid) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const auto& [attribute, op, value] : {std::tuple<int64_t, int64_t, std::string>{1, 5, pattern},
                                               {124, 0, guid},
                                               {124, 0, apps.ownerGuid}}) {
        EXPECT_EQ(confined(apps.mailboxSubclient, "/", attribute, op, value).paths(),
                  (std::vector<std::string>{"/MB"}))
            << attribute;
        // One item a batch: the page goes on past the stranger's mailbox without showing it.
        EXPECT_EQ(confined(apps.mailboxSubclient, "/MB", attribute, op, value).paths(),
                  (std::vector<std::string>{mine}))
            << attribute;
        EXPECT_EQ(confined(apps.mailboxSubclient, mine, attribute, op, value).paths(),
                  listed(apps.mailboxSubclient, mine))
            << attribute;
        TAnswer other = confined(apps.mailboxSubclient, theirs, attribute, op, value);
        EXPECT_TRUE(other.paths().empty()) << attribute;
        EXPECT_EQ(other.type(other.responses.size() - 1), 5);
        TAnswer counted = confined(apps.mailboxSubclient, "/MB", attribute, op, value, true);
        ASSERT_EQ(counted.responses.size(), 2u);
        auto* aggregate = counted.responses[0]
                              .getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
                              ->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false);
        ASSERT_TRUE(aggregate && aggregate->size() == 1u) << attribute;
        EXPECT_EQ(aggregate->front().getint64(databrowse::AggregateResult::f::count), 1) << attribute;
    }

    // A mailbox owner's browse carries both his path and his GUID: both hold, so another's GUID with
    // his path leaves nothing.
    EXPECT_EQ(filtered(apps.mailboxSubclient, "/MB", {{1, 5, pattern}, {124, 0, guid}}).paths(),
              (std::vector<std::string>{mine}));
    EXPECT_TRUE(filtered(apps.mailboxSubclient, "/MB", {{1, 5, pattern}, {124, 0, apps.strangerGuid}})
                    .paths()
                    .empty());

    // A OneDrive user by her object id as the Hubmaster sends it: upper case, '-' as 'X', no braces.
    const std::string olivia = "/OneDrive/" + apps.oneDriveEmail;
    ASSERT_EQ(listed(apps.oneDriveV2Subclient, "/OneDrive").size(), 2u);
    EXPECT_EQ(confined(apps.oneDriveV2Subclient, "/OneDrive", 20, 0, "ABXCDXEF").paths().size(), 0u);
    EXPECT_EQ(confined(apps.oneDriveV2Subclient, "/OneDrive", 20, 0, "AB12XCD34XEF56").paths(),
              (std::vector<std::string>{olivia}));
    EXPECT_EQ(confined(apps.oneDriveV2Subclient, olivia, 20, 0, "AB12XCD34XEF56").paths(),
              listed(apps.oneDriveV2Subclient, olivia));

    // A subclient whose owners the index never learnt cannot be confined by owner: refused.
    TAnswer unknown = confined(apps.oneDriveV1Subclient, "/", 20, 0, "AB12XCD34XEF56");
    ASSERT_EQ(unknown.responses.size(), 2u);
    EXPECT_EQ(unknown.type(0), 3);

    // A triplet pattern has wildcards before its tail: refused, never answered whole.
    TAnswer triplet = confined(apps.mailboxSubclient, "/", 1, 5, "srv*store*alias\\**\\*");
    ASSERT_EQ(triplet.responses.size(), 2u);
    EXPECT_EQ(triplet.type(0), 3);
}

}  // namespace

// A stand-in "BrowseRouter" on a loopback listener of its own, reached as client "sbrouter": each response
// it receives with the connection it came on.
class CRouterRecorder {
public:
    struct TSeen {
        long long connection;
        int64_t type;
    };

    CRouterRecorder() {
        s_self = this;
        m_listener = CZydListener::create();
        if (m_listener->start(0).IsError()) return;
        m_server = std::make_unique<CZyNetworkServer>(nullptr, &onXml, "BrowseRouter", m_listener);
        CZyNetDirectory::instance().registerClient("sbrouter", "127.0.0.1", m_listener->port());
    }
    ~CRouterRecorder() {
        if (m_server)
            ignoreResult(m_server->Quit(true, true), "stopping: nothing is left to do when it fails");
        m_listener->stop();
        CZyNetDirectory::instance().unregisterClient("sbrouter");
        s_self = nullptr;
    }
    // Every response seen once `ends` answers have ended (empty when they did not within seconds).
    std::vector<TSeen> awaitEnds(size_t ends) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool ended = m_changed.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::count_if(m_seen.begin(), m_seen.end(), [](const TSeen& s) { return s.type == 5; }) >=
                   static_cast<long>(ends);
        });
        return ended ? m_seen : std::vector<TSeen>{};
    }

private:
    static void onXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long handle,
                      CNMessageBase* message) {
        std::unique_ptr<CNMessageBase> owned(message);
        if (!s_self || !owned) return;
        {
            std::lock_guard<std::mutex> lock(s_self->m_mutex);
            s_self->m_seen.push_back({handle, owned->getint64(databrowse::BrowseResponse::f::respType)});
        }
        s_self->m_changed.notify_all();
    }

    static inline CRouterRecorder* s_self = nullptr;
    std::shared_ptr<CZydListener> m_listener;
    std::unique_ptr<CZyNetworkServer> m_server;
    std::mutex m_mutex;  // guards m_seen
    std::vector<TSeen> m_seen;
    std::condition_variable m_changed;  // a response was seen
};

TEST_F(SuperBrowseAnswer, AnswersShareOneKeptRouterSessionAndIndexConnection) {
    const std::string indexPath = world->path("ma1.items.db");
    {
        // The index: a connection given back serves the next lease; two leases at once hold two.
        std::string why;
        mediaagent::CItemIndex* first = nullptr;
        {
            mediaagent::TItemIndexLease a = mediaagent::lendItemIndex(indexPath, why);
            ASSERT_TRUE(a) << why;
            first = a.get();
        }
        mediaagent::TItemIndexLease again = mediaagent::lendItemIndex(indexPath, why);
        mediaagent::TItemIndexLease other = mediaagent::lendItemIndex(indexPath, why);
        ASSERT_TRUE(again && other) << why;
        EXPECT_EQ(again.get(), first);
        EXPECT_NE(other.get(), first);
        TBrowseQuery q;
        q.appId = appId;
        q.toTime = lastTime;
        std::vector<TItemVersion> viaOther;
        bool found = false;
        ASSERT_TRUE(other->listAt(q, viaOther, found));
        EXPECT_EQ(viaOther.size(), direct(q, false).size());
        EXPECT_FALSE(mediaagent::lendItemIndex(world->path("no-such.items.db"), why));
    }

    Indexing::BrowseReq r = request(lastTime);
    r.setstring(R::hubmasterHost, "sbrouter");
    std::string outcome;
    {
        // Three answers, one after another: one session carries them all, each whole and in order.
        CRouterRecorder router;
        for (int n = 0; n < 3; ++n) {
            ASSERT_TRUE(mediaagent::sendIndexBrowseAnswer(r, indexPath, 50, outcome)) << outcome;
            EXPECT_NE(outcome.find("answered worker=17"), std::string::npos) << outcome;
        }
        const std::vector<CRouterRecorder::TSeen> seen = router.awaitEnds(3);
        ASSERT_FALSE(seen.empty()) << "the answers did not all end";
        for (const CRouterRecorder::TSeen& s : seen) EXPECT_EQ(s.connection, seen.front().connection);
        EXPECT_EQ(seen.size() % 3, 0u);
        EXPECT_EQ(seen.back().type, 5);
    }
    // The router came back on another port: the session kept for the old one is not used, a new one is.
    CRouterRecorder restarted;
    ASSERT_TRUE(mediaagent::sendIndexBrowseAnswer(r, indexPath, 50, outcome)) << outcome;
    EXPECT_FALSE(restarted.awaitEnds(1).empty()) << "the answer after the restart was lost";
}

// An item the encoder cannot write (a NUL byte in its name in the index): the answer says which item at
// once, as its error, and ends there; every response it hands over is one a message carries, so its
// caller is never left waiting for an end that cannot come.
TEST_F(SuperBrowseAnswer, AnItemNoMessageCanCarryEndsTheAnswerWithItsError) {
    const std::string copy = world->path("nul.items.db");
    std::filesystem::copy_file(world->path("ma1.items.db"), copy,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(
        hubtest::execSql(copy,
                         "UPDATE entries SET name = name || char(0) || 'x' WHERE id = (SELECT MIN(id) "
                         "FROM entries WHERE parent = (SELECT rootEntry FROM subclients WHERE appId = " +
                             std::to_string(appId) + "))"),
        "");
    std::string why, said, error;
    std::unique_ptr<CItemIndex> broken = CItemIndex::open(copy, why);
    Indexing::BrowseReq r = request(lastTime);
    TIndexBrowsePlan plan;
    ASSERT_TRUE(broken && mediaagent::planIndexBrowse(r, *broken, plan, why)) << why;
    std::vector<int64_t> types;
    mediaagent::answerIndexBrowseWritten(plan, *broken, 3, [&](auto& x, const mediaagent::TWrittenItems* w) {
        std::string xml;
        EXPECT_TRUE(mediaagent::writtenResponseXml(x, w, xml, error)) << error;
        types.push_back(x.getint64(databrowse::BrowseResponse::f::respType));
        if (auto* messages = x.getlistobject(databrowse::BrowseResponse::f::messages, false))
            said = messages->front().getstring(databrowse::BrowseError::f::errorMessage);
        return true;
    });
    ASSERT_GE(types.size(), 2u);
    EXPECT_EQ(types[types.size() - 2], databrowse::BROWSE_RESP_ERROR);
    EXPECT_EQ(types.back(), databrowse::BROWSE_RESP_END);
    EXPECT_NE(said.find("\\0x] of its index"), std::string::npos) << said;
}

// A find walks the whole tree before its first response: a stop met during the walk ends it there, and
// the answer is the end alone.
TEST_F(SuperBrowseAnswer, AFindEndsAtTheNextLookAtItsStop) {
    Indexing::BrowseReq r = request(lastTime, 0, "/**/*");
    TIndexBrowsePlan plan;
    std::string why;
    ASSERT_TRUE(mediaagent::planIndexBrowse(r, *index, plan, why)) << why;
    TAnswer whole = answer(r);
    ASSERT_GT(whole.paths().size(), 10u) << "the find finds nothing to stop";

    int looks = 0;
    TAnswer cut;
    mediaagent::answerIndexBrowse(
        plan, *index, 50,
        [&](databrowse::BrowseResponse& x) {
            cut.responses.push_back(x);
            return true;
        },
        [&] { return ++looks > 1; });  // stopped once the walk has read its first directory
    EXPECT_GT(looks, 1);
    EXPECT_TRUE(cut.paths().empty());
    ASSERT_EQ(cut.responses.size(), 1u);
    EXPECT_EQ(cut.type(0), databrowse::BROWSE_RESP_END);
}

// A stop ends the answers of its session that stream when it arrives, and nothing else: one that
// reaches the agent before any request of its session, or after its answer ended, ends nothing of the
// session's later answers (nothing on the wire tells them from the request it was meant for).
TEST(AnswerStops, AStopEndsOnlyTheAnswersStreamingWhenItArrives) {
    using Answer = mediaagent::CAnswerStops::CAnswer;
    mediaagent::CAnswerStops& stops = mediaagent::CAnswerStops::instance();
    mediaagent::TAnswerOwner admin, alice;
    admin.userText = "112admin";
    alice.userText = "212alice";
    EXPECT_EQ(stops.stop("early-1", admin), 0);
    {
        Answer first(stops, "early-1", admin);
        Answer others(stops, "early-1", alice);
        EXPECT_FALSE(first.stopped());
        EXPECT_FALSE(others.stopped());
    }
    { Answer answered(stops, "answered-1", admin); }
    EXPECT_EQ(stops.stop("answered-1", admin), 0);
    EXPECT_FALSE(Answer(stops, "answered-1", admin).stopped());

    std::optional<Answer> streaming(std::in_place, stops, "streaming-1", admin);
    EXPECT_EQ(stops.stop("streaming-1", admin), 1);
    EXPECT_TRUE(streaming->stopped());
    EXPECT_EQ(stops.stop("streaming-1", admin), 0);  // a second stop of the same answer
    streaming.reset();
    EXPECT_FALSE(Answer(stops, "streaming-1", admin).stopped());
}

// However soon or late a session's request follows a stop that found nothing of it (up to and past
// the age a signed request is accepted at), the stop ends nothing of its answer.
TEST(ClockExpiry, AStopThatFoundNothingEndsNoLaterAnswerAtAnyAge) {
    using namespace std::chrono_literals;
    CHubManualClock clock;
    mediaagent::CAnswerStops stops(clock);
    mediaagent::TAnswerOwner admin;
    admin.userText = "112admin";
    const auto age = std::chrono::seconds(I2::SecuredMessageHandler::maxAgeSeconds());
    for (const std::chrono::seconds after : {0s, 1s, age - 1s, age}) {
        const std::string session = "found-nothing-" + std::to_string(after.count());
        EXPECT_EQ(stops.stop(session, admin), 0);
        clock.advance(after);
        EXPECT_FALSE(mediaagent::CAnswerStops::CAnswer(stops, session, admin).stopped())
            << after.count() << " s after the stop";
    }
}

namespace {

// A stop ends only the answers of the owner it names, in the form each answer knows its owner by (the
// user text of an index browse request, the user id of an indexing-v2 one): another caller's answer
// under the same session name goes on.
TEST(AnswerStops, AStopEndsOnlyItsOwnersAnswersOfTheSession) {
    using mediaagent::CAnswerStops;
    using mediaagent::TAnswerOwner;
    CAnswerStops& stops = CAnswerStops::instance();
    auto byText = [](const std::string& text) {
        TAnswerOwner owner;
        owner.userText = text;
        return owner;
    };
    auto byId = [](int64_t id, const std::string& text = "") {
        TAnswerOwner owner;
        owner.hasUserId = true;
        owner.userId = id;
        owner.userText = text;
        return owner;
    };
    CAnswerStops::CAnswer adminsIndexBrowse(stops, "shared-session", byText("112admin"));
    CAnswerStops::CAnswer adminsV2(stops, "shared-session", byId(1));
    CAnswerStops::CAnswer alicesV2(stops, "shared-session", byId(2));
    CAnswerStops::CAnswer alicesIndexBrowse(stops, "shared-session", byText("212alice"));

    EXPECT_EQ(stops.stop("shared-session", byText("212alice")), 1);
    EXPECT_TRUE(alicesIndexBrowse.stopped());
    EXPECT_FALSE(adminsIndexBrowse.stopped());
    EXPECT_FALSE(adminsV2.stopped()) << "a user text names no answer known by its user id";
    EXPECT_FALSE(alicesV2.stopped());

    EXPECT_EQ(stops.stop("other-session", byId(1, "112admin")), 0);
    EXPECT_EQ(stops.stop("shared-session", byId(1, "112admin")), 2);
    EXPECT_TRUE(adminsIndexBrowse.stopped());
    EXPECT_TRUE(adminsV2.stopped());
    EXPECT_FALSE(alicesV2.stopped());
    // A stop that names nobody ends nothing.
    EXPECT_EQ(stops.stop("shared-session", TAnswerOwner()), 0);
    EXPECT_FALSE(alicesV2.stopped());
}

}  // namespace
