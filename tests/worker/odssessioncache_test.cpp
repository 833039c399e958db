// The on-demand service session cache against a real launcher on loopback: one launch per key, sessions
// back to the pool that lent them across a relaunch, the retired pool's own sessions left working until
// they return, idle pools dropped, a refused launch, a key's instance ended by its last hold, at once or
// after its grace, and kept for the next browse of the key within the grace.
#include "worker/odssessioncache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "tests/platform/db/tempdir.h"

namespace {

// An on-demand service that answers every message with a session message, and quits its instance when
// the message says so (as an instance that dies does).
void onXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
           CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    if (owned && owned->getTagID() == databrowse::BrowseError::TAG) {
        ignoreResult(server->Quit(true, true), "the scripted instance dies on request");
        return;
    }
    CZySessionLease session(server, handle);
    if (!session) return;
    databrowse::BrowseSession reply;
    bool timedOut = false;
    ignoreResult(session->SendXMLMessage(reply, 0, 10, timedOut),
                 "the client under test judges what arrives");
}

bool answers(CZyNetwork* session) {
    databrowse::BrowseSession ping;
    bool timedOut = false;
    if (session->SendXMLMessage(ping, 0, 10, timedOut).IsError()) return false;
    CNMessageBase* reply = nullptr;
    const bool ok = !session->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError() && reply;
    delete reply;
    return ok;
}

class OdsSessionCache : public ::testing::Test {
protected:
    void SetUp() override {
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        listener = CZydListener::create();
        ASSERT_FALSE(listener->start(0).IsError());
        listener->registerLaunchable("TestODS", [this](const TZyLaunch& launch) {
            ++launches;
            return std::make_unique<CZyNetworkServer>(nullptr, &onXml, launch.guid.c_str(), launch.listener);
        });
        CZyNetDirectory::instance().registerClient("odshost", "127.0.0.1", listener->port());
    }
    void TearDown() override {
        cache.reset();
        CZyNetDirectory::instance().unregisterClient("odshost");
        listener->stop();
        ZYPlatformInfo::setRegistryPath("");
    }
    CUxError get(CZyNetwork*& session, const char* key = "session-A") {
        return cache->GetSession("odshost", "TestODS", key, nullptr, nullptr, session);
    }

    TempDir dir;
    std::shared_ptr<CZydListener> listener;
    std::atomic<int> launches{0};
    CHubManualClock clock;  // graces and idle limits pass when the test moves it
    std::unique_ptr<ODSSessionCache> cache = std::make_unique<ODSSessionCache>(clock);
};

TEST_F(OdsSessionCache, OneLaunchPerKeySessionsReturnToTheirPoolAcrossARelaunch) {
    CZyNetwork *first = nullptr, *second = nullptr;
    ASSERT_FALSE(get(first).IsError());
    ASSERT_FALSE(get(second).IsError());
    EXPECT_EQ(launches.load(), 1) << "the second session comes from the same instance";
    EXPECT_TRUE(answers(first) && answers(second));
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", second).IsError());

    // The instance dies: the pool lends nothing more and is replaced by one relaunch, while the session
    // another thread still holds stays that pool's.
    databrowse::BrowseError quit;
    bool timedOut = false;
    ignoreResult(first->SendXMLMessage(quit, 0, 10, timedOut),
                 "asks the instance to die; its silence is checked next");
    CNMessageBase* none = nullptr;
    EXPECT_TRUE(first->ReceiveXMLMessage(nullptr, none, nullptr, 0, 10, timedOut).IsError())
        << "the instance ended";
    // Gone with all its sessions, the idle one included.
    ASSERT_TRUE(listener->waitForLaunchedInstances(0, std::chrono::seconds(20)));
    CZyNetwork* third = nullptr;
    ASSERT_FALSE(get(third).IsError());
    EXPECT_EQ(launches.load(), 2);
    EXPECT_TRUE(answers(third));
    EXPECT_EQ(cache->poolCount(), 1u);
    EXPECT_EQ(cache->lentCount(), 2u);

    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", first)
                     .IsError());  // back to the retired pool, which goes with it
    EXPECT_EQ(cache->lentCount(), 1u);
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", third).IsError());
    CZyNetwork* again = nullptr;
    ASSERT_FALSE(get(again).IsError());
    EXPECT_EQ(again, third) << "the new pool got its own session back";
    EXPECT_EQ(launches.load(), 2);
    EXPECT_TRUE(answers(again));
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", again).IsError());
    EXPECT_EQ(cache->lentCount(), 0u);
}

TEST_F(OdsSessionCache, IdlePoolsAreDroppedAndARefusedLaunchLeavesNoPool) {
    CZyNetwork* session = nullptr;
    ASSERT_FALSE(get(session).IsError());
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", session).IsError());
    ASSERT_FALSE(get(session, "session-B").IsError());
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", session).IsError());
    EXPECT_EQ(cache->poolCount(), 2u);
    EXPECT_EQ(launches.load(), 2);

    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", ODSSessionCache::kPoolIdleLimitName, 0));
    ASSERT_FALSE(get(session).IsError());
    EXPECT_EQ(launches.load(), 3) << "the idle pools went; the key launches afresh";
    EXPECT_EQ(cache->poolCount(), 1u);
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", session).IsError());

    CZyNetwork* none = nullptr;
    CUxError refused = cache->GetSession("odshost", "NoSuchService", "session-C", nullptr, nullptr, none);
    ASSERT_TRUE(refused.IsError());
    EXPECT_EQ(refused.GetErrorCode(), -22) << "code 22, negative as every failure code";
    EXPECT_NE(refused.GetErrorText().find("Failed to connect with ODS on [odshost] for [NoSuchService]"),
              std::string::npos);
    EXPECT_EQ(none, nullptr);
}

// The browses sending under a key keep its instance between their sends, even past the idle limit; the
// last of them to end closes the pool's sessions, and the instance ends with them.
TEST_F(OdsSessionCache, TheLastHoldOfAKeyEndsItsInstance) {
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", ODSSessionCache::kPoolIdleLimitName, 0));
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", ODSSessionCache::kPoolGraceName, 0));
    CODSPoolHold first(*cache, "session-A");
    auto second = std::make_unique<CODSPoolHold>(*cache, "session-A");
    CZyNetwork* session = nullptr;
    ASSERT_FALSE(get(session).IsError());
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", session).IsError());
    ASSERT_FALSE(get(session).IsError());
    EXPECT_EQ(launches.load(), 1) << "a held pool is not dropped for being idle";
    EXPECT_FALSE(cache->ReleaseSession("odshost", "TestODS", session).IsError());

    second.reset();
    EXPECT_EQ(cache->poolCount(), 1u) << "another browse still holds the key";
    EXPECT_EQ(listener->launchedInstances(), 1u);
    CODSPoolHold moved = std::move(first);
    moved.reset();
    EXPECT_EQ(cache->poolCount(), 0u);
    EXPECT_TRUE(listener->waitForLaunchedInstances(0, std::chrono::seconds(20)))
        << "the instance ended with the pool's sessions";
}

// Browses of one session that follow each other (a user paging) find the instance the first launched:
// the last hold of a key keeps its pool for the grace, and ends it once the grace is over with no further
// call. Whoever opens many sessions in a row keeps at most the bound of instances in grace.
TEST_F(OdsSessionCache, ALaunchOutlivesItsLastHoldForTheGraceOnly) {
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", ODSSessionCache::kPoolGraceName, 3600));
    auto page = [&](const char* key) {
        CODSPoolHold hold(*cache, key);
        CZyNetwork* session = nullptr;
        if (get(session, key).IsError()) return false;
        const bool ok = answers(session);
        clock.advance(std::chrono::seconds(1));  // a page takes its time
        return !cache->ReleaseSession("odshost", "TestODS", session).IsError() && ok;
    };
    ASSERT_TRUE(page("session-A"));
    EXPECT_EQ(cache->graceCount(), 1u);
    ASSERT_TRUE(page("session-A"));
    ASSERT_TRUE(page("session-A"));
    EXPECT_EQ(launches.load(), 1) << "one launch per session, not one per page";
    EXPECT_EQ(listener->launchedInstances(), 1u);

    for (size_t n = 0; n < ODSSessionCache::kMaxPoolsInGrace; ++n)
        ASSERT_TRUE(page(("crowd-" + std::to_string(n)).c_str()));
    EXPECT_EQ(cache->graceCount(), ODSSessionCache::kMaxPoolsInGrace);
    EXPECT_TRUE(
        listener->waitForLaunchedInstances(ODSSessionCache::kMaxPoolsInGrace, std::chrono::seconds(20)))
        << "the oldest in grace ended for the newest";
    ASSERT_TRUE(page("session-A"));
    EXPECT_EQ(launches.load(), 2 + static_cast<int>(ODSSessionCache::kMaxPoolsInGrace))
        << "the session whose grace was cut short launches again";

    // A grace ends its instance by itself once it is over (the one in grace longest made room).
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", ODSSessionCache::kPoolGraceName, 60));
    ASSERT_TRUE(page("session-B"));
    clock.advance(std::chrono::seconds(60));
    EXPECT_TRUE(
        listener->waitForLaunchedInstances(ODSSessionCache::kMaxPoolsInGrace - 1, std::chrono::seconds(30)));
    EXPECT_EQ(cache->graceCount(), ODSSessionCache::kMaxPoolsInGrace - 1);
}

}  // namespace
