// The index-server session cache against an index service on loopback: sessions reused per database and
// index server, each returned to the pool that lent it, a database's sessions dropped on request (a lent
// one closed when it comes back), and a session it never lent refused.
#include "platform/indexing/idxsrvrsessioncache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"

namespace {

void onXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
           CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    if (owned)
        ignoreResult(session->SendXMLMessage(*owned, 0, 10, timedOut),
                     "the client under test judges what arrives");
}

std::atomic<int> g_disconnects{0};

void countDisconnects(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer*, long long, unsigned long,
                      zysDatabuf_v2*) {
    if (type == CZyNetworkServer::ZYN_CALLBACK_DISCONNECTED) ++g_disconnects;
}

bool echoes(CZyNetwork* session) {
    databrowse::BrowseSession ping;
    bool timedOut = false;
    if (!session || session->SendXMLMessage(ping, 0, 10, timedOut).IsError()) return false;
    CNMessageBase* reply = nullptr;
    const bool ok = !session->ReceiveXMLMessage(nullptr, reply, nullptr, 0, 10, timedOut).IsError() && reply;
    delete reply;
    return ok;
}

TEST(IdxSrvrSessionCache, SessionsPerDatabaseReturnToTheirPoolAndClearedDatabasesCloseThem) {
    auto listener = CZydListener::create();
    ASSERT_FALSE(listener->start(0).IsError());
    CZyNetworkServer service(nullptr, &onXml, I2::Utils::DbToIdxSrvrSessionCache::kIndexService, listener);
    const std::string server = MangleHostName("127.0.0.1", "indexnode", 0, listener->port());
    I2::Utils::DbToIdxSrvrSessionCache cache;

    CZyNetwork *a = nullptr, *b = nullptr;
    std::string keyA, keyB;
    ASSERT_FALSE(cache.GetSession("set1:db1", App::IDX_DB_ENGINE_CTREE, server, a, keyA).IsError());
    ASSERT_FALSE(cache.GetSession("set1:db2", App::IDX_DB_ENGINE_CTREE, server, b, keyB).IsError());
    EXPECT_NE(keyA, keyB);
    EXPECT_TRUE(echoes(a) && echoes(b));
    EXPECT_EQ(cache.poolCount(), 2u);
    EXPECT_EQ(cache.lentCount(), 2u);

    CZyNetwork* lentA = a;
    ASSERT_FALSE(cache.ReleaseSession(keyA, a).IsError());
    EXPECT_EQ(a, nullptr);
    ASSERT_FALSE(cache.GetSession("set1:db1", App::IDX_DB_ENGINE_CTREE, server, a, keyA).IsError());
    EXPECT_EQ(a, lentA) << "the database's idle session is lent again";

    // db2 is cleared while its session is lent: the session still works for its holder, goes when it
    // comes back, and the next one is a new connection.
    cache.ClearCacheForDb("set1:db2", App::IDX_DB_ENGINE_CTREE, "", "");
    EXPECT_EQ(cache.poolCount(), 1u);
    EXPECT_TRUE(echoes(b));
    ASSERT_FALSE(cache.ReleaseSession("set1:db2", App::IDX_DB_ENGINE_CTREE, server, b).IsError());
    EXPECT_EQ(cache.lentCount(), 1u);
    CZyNetwork* fresh = nullptr;
    ASSERT_FALSE(cache.GetSession("set1:db2", App::IDX_DB_ENGINE_CTREE, server, fresh, keyB).IsError());
    EXPECT_TRUE(echoes(fresh));

    CZyNetwork stranger;
    CZyNetwork* notLent = &stranger;
    EXPECT_TRUE(cache.ReleaseSession(keyA, notLent).IsError()) << "a session the cache never lent";
    ASSERT_FALSE(cache.ReleaseSession(keyA, a).IsError());
    ASSERT_FALSE(cache.ReleaseSession(keyB, fresh).IsError());
    EXPECT_EQ(cache.lentCount(), 0u);
    EXPECT_FALSE(service.Quit(true, true).IsError());
    listener->stop();
}

// A session given back stays idle in its pool for the idle limit on the cache's clock, and is closed at
// that limit though nobody asks the cache again.
TEST(IdxSrvrSessionCache, ClockExpiryIdleSessionsCloseAtTheirLimitNotBefore) {
    using namespace std::chrono_literals;
    auto listener = CZydListener::create();
    ASSERT_FALSE(listener->start(0).IsError());
    CZyNetworkServer service(&countDisconnects, &onXml, I2::Utils::DbToIdxSrvrSessionCache::kIndexService,
                             listener);
    const std::string server = MangleHostName("127.0.0.1", "indexnode", 0, listener->port());
    CHubManualClock clock;
    I2::Utils::DbToIdxSrvrSessionCache cache(clock);
    CZyNetwork* session = nullptr;
    std::string key;
    ASSERT_FALSE(cache.GetSession("set1:db1", App::IDX_DB_ENGINE_CTREE, server, session, key).IsError());
    EXPECT_TRUE(echoes(session));
    ASSERT_FALSE(cache.ReleaseSession(key, session).IsError());

    // A second before the limit the cache's sweeper looks (twice: it came back after what it did) and
    // closes nothing.
    clock.advance(CZynSessionStore::TLimits{}.idleSeconds * 1s - 1s);
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(g_disconnects.load(), 0);
    clock.advance(1s);
    for (int waited = 0; g_disconnects.load() == 0 && waited < 60000; ++waited)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(g_disconnects.load(), 1);
    EXPECT_FALSE(service.Quit(true, true).IsError());
    listener->stop();
}

}  // namespace
