// The index-server cache over a seeded database: the nodes of a database's index server with their
// engines and state, served from the cache until a user request reads the database again, and the
// failures that leave the caller's list alone.
#include "platform/indexing/idxdbinfocache.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

using I2::Utils::IdxDbInfoCache;
using I2::Utils::IdxSrvrInfo;

class IndexServers : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        hubdb::FamiliesBSeed more(seed);
        ASSERT_TRUE(more.ok()) << more.error();
        node1 = seed.addClient({.name = "node1", .hostName = "node1.corp"});
        node2 = seed.addClient({.name = "node2", .hostName = "node2.corp"});
        node3 = seed.addClient({.name = "node3"});
        server = more.addIndexServer(
            "Virtual Machine", "idxcloud",
            {{.clientId = node1}, {.clientId = node2}, {.clientId = node3, .enabled = false}});
        lone = more.addIndexServer("Exchange Index", "", {{.clientId = node3, .enabled = false}});
        int bs = seed.addBackupSet("vms", "BS-GUID-1");
        int bs2 = seed.addBackupSet("files", "BS-GUID-2");
        more.addIndexDatabase(
            {.dbName = "BS-GUID-1", .backupSetId = bs, .engineType = 2, .currentIdxServer = server});
        more.addIndexDatabase(
            {.dbName = "SC-GUID-7", .backupSetId = bs, .engineType = 1, .currentIdxServer = server});
        more.addIndexDatabase(
            {.dbName = "BS-GUID-2", .backupSetId = bs2, .engineType = 1, .currentIdxServer = lone});
        more.addIndexDatabase(
            {.dbName = "SC-GUID-8", .backupSetId = bs, .engineType = 1, .currentIdxServer = server});
        more.addIndexDatabase({.dbName = "orphan", .backupSetId = bs2, .engineType = 1});
        seed.exec("UPDATE APP_Client SET offlineEntity = 1, status = 7 WHERE id = ?",
                  {zydb::DbValue::ofInt(node2)});
        ASSERT_TRUE(more.ok()) << more.error();
        ASSERT_EQ(hubdb::openHubDatabase(dir.file("hub.db")), zydb::DB_OK);
    }
    void TearDown() override { zydb::CDbEnv::close(); }

    TempDir dir;
    int node1 = 0, node2 = 0, node3 = 0, server = 0, lone = 0;
};

TEST_F(IndexServers, NodesOfTheDatabasesIndexServer) {
    IdxDbInfoCache cache;
    std::string name;
    std::vector<IdxSrvrInfo> servers;
    CUxError err = cache.FetchOrSetIdxSrvrForDb("BS-GUID-1", "BS-GUID-1", 106, name, servers, true);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(name, "idxcloud");
    ASSERT_EQ(servers.size(), 2u);  // the disabled node is left out
    EXPECT_EQ(servers[0].m_name, "node1.corp");
    EXPECT_EQ(servers[0].m_clientName, "node1");
    EXPECT_EQ(servers[0].m_clientId, node1);
    EXPECT_TRUE(servers[0].m_primaryNode);
    EXPECT_FALSE(servers[0].m_offline);
    EXPECT_EQ(servers[0].m_engineTypes,
              (std::list<App::IdxDbEngineType>{App::IDX_DB_ENGINE_LUCENE, App::IDX_DB_ENGINE_CTREE}));
    EXPECT_TRUE(servers[1].m_offline);
    EXPECT_EQ(servers[1].m_state, 7);
    IdxSrvrInfo copy(servers[1]);
    EXPECT_EQ(copy.m_name, "node2.corp");
    EXPECT_EQ(copy.m_engineTypes, servers[1].m_engineTypes);
}

TEST_F(IndexServers, CachedUntilAUserRequestReadsAgain) {
    IdxDbInfoCache cache;
    std::string name;
    std::vector<IdxSrvrInfo> servers;
    ASSERT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers).IsError());
    ASSERT_EQ(servers.size(), 2u);
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("UPDATE DM2CloudNode SET enabled = 0 WHERE clientId = ?",
                            {zydb::DbValue::ofInt(node1)}),
                  zydb::DB_OK);
    }
    servers.clear();
    ASSERT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers).IsError());
    EXPECT_EQ(servers.size(), 2u);  // from the cache
    ASSERT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers, true).IsError());
    ASSERT_EQ(servers.size(), 1u);  // read again
    EXPECT_EQ(servers[0].m_clientId, node2);
    EXPECT_TRUE(servers[0].m_primaryNode);
    EXPECT_EQ(cache.size(), 1u);
}

TEST_F(IndexServers, FailuresLeaveTheCallersList) {
    IdxDbInfoCache cache;
    std::string name = "kept";
    std::vector<IdxSrvrInfo> servers(1);
    servers[0].m_name = "kept";
    for (const char* db :
         {"missing", "orphan", "BS-GUID-2"}) {  // no such db, no index server, no enabled node
        CUxError err = cache.FetchOrSetIdxSrvrForDb(
            db, db == std::string("missing") ? "BS-GUID-1" : "BS-GUID-2", 29, name, servers, false);
        EXPECT_TRUE(err.IsError()) << db;
        EXPECT_FALSE(err.GetErrorText().empty());
        ASSERT_EQ(servers.size(), 1u);
        EXPECT_EQ(servers[0].m_name, "kept");
        EXPECT_EQ(name, "kept");
    }
    EXPECT_TRUE(cache.FetchOrSetIdxSrvrForDb("BS-GUID-1", "another backup set", 29, name, servers).IsError());
    EXPECT_TRUE(cache.FetchOrSetIdxSrvrForDb("", "BS-GUID-1", 29, name, servers).IsError());
    zydb::CDbEnv::close();
    EXPECT_TRUE(cache.FetchOrSetIdxSrvrForDb("BS-GUID-1", "BS-GUID-1", 29, name, servers, true).IsError());
    EXPECT_EQ(servers[0].m_name, "kept");
}

TEST_F(IndexServers, SharedCacheFromManyThreads) {
    IdxDbInfoCache* cache = IdxDbInfoCache::Instance();
    ASSERT_EQ(cache, IdxDbInfoCache::Instance());
    std::vector<std::thread> threads;
    std::vector<size_t> found(8, 0);
    for (size_t t = 0; t < found.size(); ++t)
        threads.emplace_back([&, t] {
            std::string name;
            std::vector<IdxSrvrInfo> servers;
            for (int k = 0; k < 20; ++k) {
                const char* db = (t + k) % 2 ? "BS-GUID-1" : "SC-GUID-7";
                if (!cache->FetchOrSetIdxSrvrForDb(db, "BS-GUID-1", 106, name, servers, k % 5 == 0).IsError())
                    found[t] += servers.size();
            }
        });
    for (auto& th : threads) th.join();
    for (size_t n : found) EXPECT_EQ(n, 40u);
}

TEST_F(IndexServers, FailuresAreNeverKept) {
    IdxDbInfoCache cache;
    std::string name;
    std::vector<IdxSrvrInfo> servers;
    for (int k = 0; k < 500; ++k)  // names a request could make up
        EXPECT_TRUE(
            cache.FetchOrSetIdxSrvrForDb("made-up-" + std::to_string(k), "BS-GUID-1", 1, name, servers)
                .IsError());
    EXPECT_TRUE(cache.FetchOrSetIdxSrvrForDb("orphan", "BS-GUID-2", 1, name, servers).IsError());
    EXPECT_EQ(cache.size(), 0u);

    // A failed application type of a kept database leaves that database's look-ups alone.
    ASSERT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers).IsError());
    zydb::CDbEnv::close();
    EXPECT_TRUE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 29, name, servers).IsError());
    EXPECT_EQ(cache.size(), 1u);
    servers.clear();
    ASSERT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers).IsError());
    EXPECT_EQ(servers.size(), 2u);
}

TEST_F(IndexServers, BoundedLeastRecentlyAskedGoFirst) {
    IdxDbInfoCache cache(2);
    std::string name;
    std::vector<IdxSrvrInfo> servers;
    auto ask = [&](const char* db) {
        servers.clear();
        EXPECT_FALSE(cache.FetchOrSetIdxSrvrForDb(db, "BS-GUID-1", 106, name, servers).IsError()) << db;
        return servers.size();
    };
    ask("BS-GUID-1");
    ask("SC-GUID-7");
    ask("BS-GUID-1");  // SC-GUID-7 is now the least recently asked
    ask("SC-GUID-8");
    EXPECT_EQ(cache.size(), 2u);
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("UPDATE DM2CloudNode SET enabled = 0 WHERE clientId = ?",
                            {zydb::DbValue::ofInt(node1)}),
                  zydb::DB_OK);
    }
    EXPECT_EQ(ask("BS-GUID-1"), 2u);  // kept
    EXPECT_EQ(ask("SC-GUID-8"), 2u);  // kept
    EXPECT_EQ(ask("SC-GUID-7"), 1u);  // evicted, so read again
    EXPECT_EQ(cache.size(), 2u);
}

// A look-up is served from the cache for its whole age on the cache's clock, and read again at that age.
TEST_F(IndexServers, ClockExpiryLookUpsAreReadAgainAtTheirAgeNotBefore) {
    CHubManualClock clock;
    IdxDbInfoCache cache(IdxDbInfoCache::kMaxEntries, clock);
    std::string name;
    std::vector<IdxSrvrInfo> servers;
    auto ask = [&] {
        servers.clear();
        EXPECT_FALSE(cache.FetchOrSetIdxSrvrForDb("SC-GUID-7", "BS-GUID-1", 106, name, servers).IsError());
        return servers.size();
    };
    ASSERT_EQ(ask(), 2u);
    {
        hubdb::HubDbSeed seed(dir.file("hub.db"));
        ASSERT_EQ(seed.exec("UPDATE DM2CloudNode SET enabled = 0 WHERE clientId = ?",
                            {zydb::DbValue::ofInt(node1)}),
                  zydb::DB_OK);
    }
    clock.advance(std::chrono::seconds(IdxDbInfoCache::kMaxAgeSeconds - 1));
    EXPECT_EQ(ask(), 2u);  // from the cache
    clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(ask(), 1u);  // read again
}

}  // namespace
