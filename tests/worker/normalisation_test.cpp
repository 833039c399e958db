// Normalisation of a request on the demo world: the defaults of the private task, the session GUID
// rule, the filter's paging, the synthetic-full to-time and case-insensitive paths.
#include <ctime>

#include "platform/hubdb/threadsql.h"
#include "platform/threads/hubclock.h"
#include "tests/worker/checksworld.h"

namespace {

class Normalisation : public ChecksWorld {
protected:
    bool normalise() {
        TRequestAuth auth;
        generated = false;
        return worker->normaliseRequest(&task, auth, generated).ok();
    }
    EvMultiEntityRestoreTask& priv() { return *worker->getPrivateTask(); }
    std::vector<std::string> privatePaths() {
        std::vector<std::string> out;
        for (const char* p = priv().getFirstPath(EvRestoreTask::kBrowsePathList); p;
             p = priv().getNextPath(EvRestoreTask::kBrowsePathList))
            out.emplace_back(p);
        return out;
    }
    bool generated = false;
};

TEST_F(Normalisation, DefaultsAndTheGeneratedSessionGuid) {
    fileTask(world.fileUser, "fileuser");
    task.setKelmarchId(0);
    task.addPath(EvRestoreTask::kBrowsePathList, "/home");
    // Read from the clock the service reads (std::time's coarse clock can lag it across a second).
    const long before = static_cast<long>(CHubClock::real().epochSeconds());
    ASSERT_TRUE(normalise());
    EXPECT_GE(priv().getToTime(), before);
    EXPECT_LE(priv().getToTime(), static_cast<long>(CHubClock::real().epochSeconds()));
    EXPECT_EQ(priv().getEmPageSize(), 0xFFFFFFFFul);
    EXPECT_EQ(priv().getKelmarchId(), 2);
    EXPECT_EQ(priv().getClientId(), world.fileClient);
    EXPECT_EQ(privatePaths(), std::vector<std::string>{"/home"});
    EXPECT_TRUE(generated);
    const std::string guid = priv().getbrowseSessionGUID();
    // Seconds and 32 hex digits of chance: not the worker id, which callers could count ahead to.
    EXPECT_TRUE(isGeneratedSessionId(guid)) << guid;
    EXPECT_STREQ(task.getbrowseSessionGUID(), guid.c_str());
    task.setbrowseSessionGUID("");
    ASSERT_TRUE(normalise());
    EXPECT_TRUE(generated);
    EXPECT_NE(priv().getbrowseSessionGUID(), guid) << "the same worker's next session is another";
    // The caller's own GUID stays; with option 0x2000 none is made.
    task.setbrowseSessionGUID("given-guid");
    ASSERT_TRUE(normalise());
    EXPECT_FALSE(generated);
    EXPECT_STREQ(priv().getbrowseSessionGUID(), "given-guid");
    task.setbrowseSessionGUID("");
    task.setOptions(0x2000);
    ASSERT_TRUE(normalise());
    EXPECT_FALSE(generated);
    EXPECT_STREQ(priv().getbrowseSessionGUID(), "");
    EXPECT_EQ(priv().getEmFunction(), 3u);
}

TEST_F(Normalisation, FilterPagingLaterQueriesWin) {
    fileTask(world.fileUser, "fileuser");
    databrowse::Querylist filter;
    auto* queries = filter.getlistobject(databrowse::Querylist::f::queries, true);
    auto addQuery = [&](const char* id, int type, long long skip, long long pageSize) {
        databrowse::Query q;
        q.setstring(databrowse::Query::f::queryId, id);
        q.getObjectAccessor(databrowse::Query::f::queryOptions, true)
            ->setint64(databrowse::Msg70::f::queryType, type);
        CNMessageBase* paging = q.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                    ->getObjectAccessor(databrowse::DataParam::f::paging, true);
        if (skip >= 0) paging->setint64(databrowse::Msg6::f::skipNode, skip);
        if (pageSize >= 0) paging->setint64(databrowse::Msg6::f::pageSize, pageSize);
        queries->push_back(q);
    };
    addQuery("first", 1, 10, 50);
    addQuery("counted", 4, 200, 25);
    std::string xml;
    ASSERT_EQ(filter.serialize(xml), 0);
    task.setbrowseFindPattern(xml.c_str());
    ASSERT_TRUE(normalise());
    EXPECT_EQ(priv().getEmPageSize(), 25u);
    EXPECT_EQ(priv().getEmSkipNode(), 200u);
    EXPECT_EQ(priv().getEmFirstNode(), 0);
    ASSERT_NE(worker->getQueryList(), nullptr);
    EXPECT_EQ(worker->getBrowseFindPattern(), xml);

    // Without a page size the whole list; an em function of 6 never skips.
    queries->clear();
    addQuery("q", 1, 30, -1);
    ASSERT_EQ(filter.serialize(xml), 0);
    task.setbrowseFindPattern(xml.c_str());
    task.setEmFunction(0x106);
    ASSERT_TRUE(normalise());
    EXPECT_EQ(priv().getEmPageSize(), 0xFFFFFFFFul);
    EXPECT_EQ(priv().getEmSkipNode(), 0u);
}

TEST_F(Normalisation, SyntheticFullToTimeComesFromTheJob) {
    std::vector<zydb::DbValue> row;
    ASSERT_EQ(hubdb::threadQueryFirstRow("SELECT jobId, servStartDate FROM JMBkpStats WHERE kelmarchId = 2 "
                                         "ORDER BY jobId LIMIT 1",
                                         {}, row),
              zydb::DB_OK);
    const long long job = row[0].asInt();
    fileTask(world.fileUser, "fileuser");
    auto* request = worker->getBrowseReqV2();
    request->getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::synthFullBrowse, 1);
    request->getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, std::to_string(job) + "_cycle");
    ASSERT_TRUE(normalise());
    EXPECT_EQ(priv().getToTime(), row[1].asInt());
    // No underscore: no job, the current time.
    request->getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, std::to_string(job));
    ASSERT_TRUE(normalise());
    EXPECT_GE(priv().getToTime(), static_cast<long>(std::time(nullptr)) - 5);
}

TEST_F(Normalisation, CaseInsensitivePathsAndAFailedConversion) {
    fileTask(world.fileUser, "fileuser");
    task.setAppType(apptype::kWindowsFileSystem);
    task.setOptions(0x2);
    std::string options(100, '0');
    options[81] = '1';
    task.setextendedOptions(options.c_str());
    task.addPath(EvRestoreTask::kBrowsePathList, "\\Users\\Ann\\Docs");
    task.addPath(EvRestoreTask::kBrowsePathList, "\\Data\\ÉTÉ");
    ASSERT_TRUE(normalise());
    EXPECT_EQ(privatePaths(), (std::vector<std::string>{"\\users\\ann\\docs", "\\data\\ÉtÉ"}));

    // A path that is not UTF-8 cannot be converted: the browse keeps its paths as they came.
    task.addPath(EvRestoreTask::kBrowsePathList, "\\Bad\\\xC3(");
    ASSERT_TRUE(normalise());
    EXPECT_EQ(privatePaths(),
              (std::vector<std::string>{"\\Users\\Ann\\Docs", "\\Data\\ÉTÉ", "\\Bad\\\xC3("}));
}

TEST_F(Normalisation, DelayedStubbingLimitsTheToTimeOrEndsTheRequest) {
    fileTask(world.fileUser, "fileuser");
    std::string options(110, '0');
    options[104] = '1';
    task.setextendedOptions(options.c_str());
    task.setSubClientId(world.fileSubclient);
    std::vector<zydb::DbValue> row;
    ASSERT_EQ(
        hubdb::threadQueryFirstRow("SELECT MAX(servEndDate) FROM JMBkpStats WHERE appId = ? AND status IN "
                                   "(1, 3, 14)",
                                   {zydb::DbValue::ofInt(world.fileSubclient)}, row),
        zydb::DB_OK);
    ASSERT_TRUE(normalise());
    EXPECT_EQ(task.getToTime(), row[0].asInt());
    EXPECT_EQ(priv().getToTime(), row[0].asInt());
    task.setSubClientId(999999);  // never backed up
    EXPECT_FALSE(normalise());
}

}  // namespace
