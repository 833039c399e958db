// Running the application manager's XML procedures by request tag, as text and as message objects.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/msg/app_execute_sp.h"
#include "platform/msg/msg_classes.h"

using BR = databrowse::BrowseRequest::f;

namespace {

// A procedure that completes a browse request the way a real one would: it reads the request and
// answers with the same request plus the media agent it chose.
int completeRequest(const std::string& requestXml, std::string& responseXml, void* context) {
    databrowse::BrowseRequest req;
    if (req.unserialize(requestXml) != 0) return 7;
    if (context) ++*static_cast<int*>(context);
    req.getObjectAccessor(BR::ma, true)->setstring(ZyEntities::ClientEntity::f::clientName, "ma-1");
    return req.serialize(responseXml);
}

struct Registration {
    explicit Registration(uint32_t tag, App_ExecuteSP::Procedure p) : tag(tag) {
        App_ExecuteSP::registerProcedure(tag, "test procedure", std::move(p));
    }
    ~Registration() { App_ExecuteSP::unregisterProcedure(tag); }
    uint32_t tag;
};

}  // namespace

TEST(StoredProcedures, RunByRequestTag) {
    Registration reg(databrowse::BrowseRequest::TAG, completeRequest);
    databrowse::BrowseRequest req;
    req.setstring(BR::userName, "alice");
    std::string requestXml, responseXml;
    ASSERT_EQ(req.serialize(requestXml), 0);
    int calls = 0;
    ASSERT_EQ(App_ExecuteSP().executeStoredProcedure(req.getTagID(), requestXml, responseXml, &calls), 0);
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(App_ExecuteSP().executeGetStoredProcedure(req.getTagID(), requestXml, responseXml, &calls), 0);
    EXPECT_EQ(calls, 2);
    databrowse::BrowseRequest answer;
    ASSERT_EQ(answer.unserialize(responseXml), 0);
    EXPECT_EQ(answer.getstring(BR::userName), "alice");
    EXPECT_EQ(answer.getObjectAccessor(BR::ma, false)->getstring(ZyEntities::ClientEntity::f::clientName),
              "ma-1");

    // the same through message objects
    databrowse::BrowseRequest prepared;
    CUxError err = I2::Utils::ExecuteAppMgrSP(0x644c8485, req, prepared);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(prepared.getObjectAccessor(BR::ma, false)->getstring(ZyEntities::ClientEntity::f::clientName),
              "ma-1");
}

TEST(StoredProcedures, FailuresAreReportedNotHidden) {
    std::string out = "untouched";
    EXPECT_EQ(App_ExecuteSP().executeStoredProcedure(App::MailboxUsages::TAG, "<x/>", out, nullptr),
              APP_SP_NO_PROCEDURE);
    EXPECT_EQ(out, "untouched");
    App::MailboxUsages usages;
    App::GenericEntityResponse answer;
    CUxError missing = I2::Utils::ExecuteAppMgrSP(App::MailboxUsages::TAG, usages, answer);
    EXPECT_TRUE(missing.IsError());
    EXPECT_EQ(missing.GetErrorCode(), APP_SP_NO_PROCEDURE);

    {
        Registration failing(App::MailboxUsages::TAG, [](const std::string&, std::string& r, void*) {
            r = "partial";
            return 3;
        });
        EXPECT_EQ(App_ExecuteSP().executeStoredProcedure(App::MailboxUsages::TAG, "<x/>", out, nullptr), 3);
        EXPECT_EQ(out, "untouched");
        CUxError failed = I2::Utils::ExecuteAppMgrSP(App::MailboxUsages::TAG, usages, answer);
        EXPECT_TRUE(failed.IsError());
    }
    {
        // an answer of another class than the caller expects is a failure, not an empty success
        Registration wrongAnswer(App::MailboxUsages::TAG, [](const std::string&, std::string& r, void*) {
            return databrowse::BrowseSession().serialize(r);
        });
        CUxError bad = I2::Utils::ExecuteAppMgrSP(App::MailboxUsages::TAG, usages, answer);
        EXPECT_EQ(bad.GetErrorCode(), APP_SP_BAD_ANSWER);
        EXPECT_TRUE(I2::Utils::ExecuteAppMgrSP(App::MailboxUsages::TAG, nullptr, &answer).IsError());
    }
    EXPECT_FALSE(App_ExecuteSP::hasProcedure(App::MailboxUsages::TAG));
}

TEST(StoredProcedures, RegistryServesManyThreads) {
    Registration reg(databrowse::BrowseRequest::TAG, completeRequest);
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k) {
                databrowse::BrowseRequest req, answer;
                req.setint64(BR::opType, k);
                if (!I2::Utils::ExecuteAppMgrSP(req.getTagID(), req, answer).IsError() &&
                    answer.getint64(BR::opType) == k)
                    ++ok;
                App_ExecuteSP::registerProcedure(0x7f000000 + t, "churn", completeRequest);
                App_ExecuteSP::unregisterProcedure(0x7f000000 + t);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 400);
}
