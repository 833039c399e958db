// Application mining, SharePoint and pseudo-clients over the demo world's mining world: the
// look-ups' rules, requests of network callers completed or refused, and entry-point requests that
// reach the media agent's on-demand services (tools/mediaagent, on a loopback listener) with what those
// services recorded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "appbrowse/appmininglookups.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/appminingseed.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/filewatch.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/ondemandservices.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/odssessioncache.h"

namespace {

using R = databrowse::BrowseRequest::f;
using M = databrowse::Msg60::f;
using D = databrowse::Msg55::f;

class AppMining : public ::testing::Test {
public:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        listener = CZydListener::create();
        ASSERT_FALSE(listener->start(0).IsError());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), demo, &error)) << error;
        world = demo.mining;
        pointMinersAt(demo, listener->port());
        const std::pair<const char*, int> machines[] = {
            {"miningma", world.miningMediaAgent}, {"spserver1", world.spPrimary},
            {"spserver2", world.spMember1},       {"spserver3", world.spMember2},
            {"spplain", world.spPlain},           {"exchidxnode1", world.indexNode}};
        for (const auto& [name, id] : machines)
            CZyNetDirectory::instance().registerClient(name, "127.0.0.1", listener->port(), id);
        ASSERT_EQ(hubdb::openHubDatabase(demo.databasePath, &error), zydb::DB_OK) << error;
        confMgr = std::make_unique<CConfigurationMgr>();
        savedConfMgr = g_poConfMgr;  // the library's own, made at load
        g_poConfMgr = confMgr.get();
    }
    void TearDown() override {
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
        g_poConfMgr = savedConfMgr;
        confMgr.reset();
        for (const char* name :
             {"miningma", "spserver1", "spserver2", "spserver3", "spplain", "exchidxnode1"})
            CZyNetDirectory::instance().unregisterClient(name);
        listener->stop();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }

    // The world's mining machines (the mining media agent, the SharePoint servers, the index nodes)
    // reached at this loopback port.
    static void pointMinersAt(const hubdemo::DemoWorld& demo, int port) {
        const zyent::TAppMiningWorld& w = demo.mining;
        hubdb::HubDbSeed seed(demo.databasePath);
        for (const int client :
             {w.miningMediaAgent, w.spPrimary, w.spMember1, w.spMember2, w.spPlain, w.indexNode})
            seed.exec("UPDATE APP_Client SET zydPort = ?, net_hostname = '127.0.0.1' WHERE id = ?",
                      {zydb::DbValue::ofInt(port), zydb::DbValue::ofInt(client)});
        seed.exec("UPDATE APP_Client SET zydPort = ?, net_hostname = '127.0.0.1' WHERE name = 'exchidxnode2'",
                  {zydb::DbValue::ofInt(port)});
        ASSERT_TRUE(seed.ok()) << seed.error();
    }
    // A mining request of application type `appType` as a console sends it.
    static databrowse::BrowseRequest miningRequest(int64_t appType) {
        databrowse::BrowseRequest request;
        CNMessageBase* mining =
            request.getObjectAccessor(R::advOptions, true)
                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true);
        mining->setint64(M::appMining, 1);
        mining->setint64(M::appType, appType);
        return request;
    }
    static CNMessageBase* miningOf(databrowse::BrowseRequest& request) {
        return request.getObjectAccessor(R::advOptions, false)
            ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false)
            ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, false);
    }
    static CNMessageBase* selection(databrowse::BrowseRequest& request) {
        return miningOf(request)
            ->getObjectAccessor(M::sharePointBlock, true)
            ->getObjectAccessor(databrowse::Msg57::f::at3_6, true);
    }
    // An Exchange database request for `path` in the seeded backup set, mined on the mining media agent.
    databrowse::BrowseRequest exchangeRequest(const std::string& path) {
        return exchangeRequestFor(world, path);
    }
    static databrowse::BrowseRequest exchangeRequestFor(const zyent::TAppMiningWorld& world,
                                                        const std::string& path) {
        databrowse::BrowseRequest request = miningRequest(53);
        miningOf(request)->getObjectAccessor(M::miningDetails, true)->setint64(D::miningType, 2);
        CNMessageBase* entity = request.getObjectAccessor(R::entity, true);
        entity->setint64(ZyEntities::GenericEntity::f::clientId, world.exchangeClient);
        entity->setint64(ZyEntities::GenericEntity::f::backupsetId, world.exchangeBackupSet);
        databrowse::BrowsePath p;
        p.setstring(databrowse::BrowsePath::f::path, path);
        request.setlistobject(R::paths, {p});
        request.getObjectAccessor(R::timeRange, true)->setint64(databrowse::BrowseTimeRange::f::toTime, 0);
        request.getObjectAccessor(R::ma, true)
            ->setint64(ZyEntities::ClientEntity::f::clientId, world.miningMediaAgent);
        return request;
    }
    std::unique_ptr<EvMultiEntityRestoreTask> task(int userId, const char* userName) {
        const long long job = 9100 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, userId, 0, 2, world.exchangeClient, 0,
                             0, 0, 0, 0, 0, 0, 0);
        t->setUserName(userName);
        return t;
    }
    // A network caller's worker run on the request.
    bool runDirect(databrowse::BrowseRequest& request, CWorkerThreadHM& worker, int userId,
                   const char* user) {
        auto t = task(userId, user);
        worker.setWorkerId("77");
        worker.setDirectAPI(true);
        worker.setIsAppMining(true);
        worker.setIsAppMiningFromGui(false);
        worker.setBrowseReq(&request);
        return worker.newRequest(t.get());
    }
    TempDir dir;
    std::shared_ptr<CZydListener> listener;
    hubdemo::DemoWorld demo;
    zyent::TAppMiningWorld world;
    std::unique_ptr<CConfigurationMgr> confMgr;
    CConfigurationMgr* savedConfMgr = nullptr;
    std::shared_ptr<EvRecordingDestination> destination;
    std::vector<long long> jobs;
};

}  // namespace

TEST_F(AppMining, LookUpsFindTheDatabaseTheCycleAndTheMailbox) {
    // The database in another letter case; two subclients hold it and the first in the backup set wins.
    EXPECT_EQ(GetExchangeSubclientIdFromPath(0, world.exchangeBackupSet, world.cutoverTime - 10,
                                             "MAILBOX database a"),
              static_cast<uint64_t>(world.dbSubclientFirst));
    EXPECT_EQ(GetExchangeSubclientIdFromPath(2, world.exchangeBackupSet, world.cutoverTime - 10,
                                             "Mailbox Database B"),
              static_cast<uint64_t>(world.dbSubclientSecond));
    // A database the subclient held only before the cut-over, and a property of another type.
    EXPECT_EQ(GetExchangeSubclientIdFromPath(2, world.exchangeBackupSet, world.cutoverTime - 10,
                                             "Mailbox Database C"),
              static_cast<uint64_t>(world.dbSubclientFirst));
    EXPECT_EQ(GetExchangeSubclientIdFromPath(2, world.exchangeBackupSet, world.cutoverTime + 10,
                                             "Mailbox Database C"),
              0u);
    EXPECT_EQ(
        GetExchangeSubclientIdFromPath(2, world.exchangeBackupSet, world.cutoverTime, "Mailbox Database D"),
        0u);

    EXPECT_EQ(GetAdAppAwareSubclientId(2, world.adBackupSet, world.exchangeClient),
              static_cast<uint64_t>(world.adSubclient));
    EXPECT_EQ(GetAdAppAwareSubclientId(2, world.adBackupSetWrongType, world.exchangeClient), 0u);

    // Status rules: failed jobs never; for Exchange database mining only jobs whose status lists the
    // database with status 5 (once is enough), and jobs of unknown status; ascending whatever the order.
    std::vector<uint64_t> jobs;
    ASSERT_EQ(GetJobsInCycle(0, world.dbSubclientFirst, world.lastJobEnd, databrowse::APP_MINING_EXCHANGE_DB,
                             "mailbox database A", jobs),
              1);
    std::vector<uint64_t> expected = {static_cast<uint64_t>(world.jobFull),
                                      static_cast<uint64_t>(world.jobTwice),
                                      static_cast<uint64_t>(world.jobUnknown)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(jobs, expected);
    ASSERT_EQ(
        GetJobsInCycle(2, world.dbSubclientFirst, world.lastJobEnd, databrowse::AppMiningType(1), "", jobs),
        1);
    EXPECT_EQ(jobs.size(), 6u) << "every job but the failed one";
    EXPECT_TRUE(std::is_sorted(jobs.begin(), jobs.end()));
    EXPECT_EQ(
        GetJobsInCycle(2, world.dbSubclientSecond, world.lastJobEnd, databrowse::AppMiningType(1), "", jobs),
        0);
    EXPECT_TRUE(jobs.empty());

    int created = -1;
    ASSERT_FALSE(getMailboxCreationTime(world.monorunSubclient, world.mailboxGuid, created).IsError());
    EXPECT_EQ(created, world.mailboxCreated);
    ASSERT_FALSE(getMailboxCreationTime(world.adSubclient, world.mailboxGuid, created).IsError());
    EXPECT_EQ(created, 0) << "no association row";
    CUxError refused = getMailboxCreationTime(world.monorunSubclient, "x' OR '1'='1", created);
    EXPECT_TRUE(refused.IsError());
    EXPECT_NE(refused.GetErrorText().find("not a mailbox GUID"), std::string::npos);

    int node = -1;
    ASSERT_FALSE(getIndexServerFirstNode(world.indexServer, node).IsError());
    EXPECT_EQ(node, world.indexNode);
    node = -1;
    EXPECT_TRUE(getIndexServerFirstNode(world.exchangeClient, node).IsError());
    EXPECT_EQ(node, -1);
    EXPECT_EQ(s_FormateDebugString("%s", std::string(3000, 'x').c_str()).size(), 1023u);
}

TEST_F(AppMining, NetworkCallerGetsTheCompletedRequestOnlyForAnEntityItMayBrowse) {
    databrowse::BrowseRequest request = exchangeRequest("Mailbox Database A");
    CWorkerThreadHM worker;
    ASSERT_TRUE(runDirect(request, worker, demo.adminUser, "admin")) << worker.getErrorMessage();
    auto* done = dynamic_cast<databrowse::BrowseRequest*>(worker.getBrowseReqXML());
    ASSERT_NE(done, nullptr);
    EXPECT_FALSE(done->getObjectAccessor(R::session, false)
                     ->getstring(databrowse::BrowseSession::f::sessionId)
                     .empty());
    EXPECT_EQ(done->getObjectAccessor(R::entity, false)->getint64(ZyEntities::GenericEntity::f::subclientId),
              world.dbSubclientFirst);
    CNMessageBase* details = miningOf(*done)->getObjectAccessor(M::miningDetails, false);
    auto* list = details->getlistlonglong(D::jobList.i, D::jobList.j, D::jobList.tag, D::jobList.code, false);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->size(), 3u);
    EXPECT_TRUE(std::is_sorted(list->begin(), list->end()));
    EXPECT_EQ(done->getObjectAccessor(R::timeRange, false)->getint64(databrowse::BrowseTimeRange::f::toTime),
              1700000000 + 3600 + 600)
        << "the end of the highest job id found";
    EXPECT_NE(miningOf(*done)
                  ->getObjectAccessor(M::connectionInfo, false)
                  ->getstring(databrowse::ApplicationMiningConnectionInfo::f::maHostName)
                  .find("miningma"),
              std::string::npos);

    // A user who may browse only another client learns nothing of this one.
    databrowse::BrowseRequest other = exchangeRequest("Mailbox Database A");
    CWorkerThreadHM refused;
    EXPECT_FALSE(runDirect(other, refused, demo.fileUser, "alice"));
    EXPECT_EQ(refused.getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_FALSE(miningOf(*refused.getBrowseReqV2())->isSet(M::connectionInfo));

    // No media agent named: the one text the caller gets.
    databrowse::BrowseRequest noMa = exchangeRequest("Mailbox Database A");
    noMa.clearField(R::ma.tag, R::ma.code);
    CWorkerThreadHM unnamed;
    EXPECT_FALSE(runDirect(noMa, unnamed, demo.adminUser, "admin"));
    EXPECT_STREQ(unnamed.getErrorMessage(), "MA not set for application mining.");

    // An offline browse of a database file needs no entity and mines job 0.
    databrowse::BrowseRequest offline = exchangeRequest("");
    offline.clearField(R::entity.tag, R::entity.code);
    miningOf(offline)->getObjectAccessor(M::miningDetails, false)->setstring(D::edbPath, "e:\\db\\a.edb");
    CWorkerThreadHM offlineWorker;
    ASSERT_TRUE(runDirect(offline, offlineWorker, demo.adminUser, "admin"))
        << offlineWorker.getErrorMessage();
    auto* jobs0 = miningOf(*offlineWorker.getBrowseReqV2())
                      ->getObjectAccessor(M::miningDetails, false)
                      ->getlistlonglong(D::jobList.i, D::jobList.j, D::jobList.tag, D::jobList.code, false);
    ASSERT_NE(jobs0, nullptr);
    EXPECT_EQ(*jobs0, std::vector<long long>{0});
}

TEST_F(AppMining, PseudoClientListsItsServersForANetworkCaller) {
    const auto listed = [&](int farm) {
        databrowse::BrowseRequest request = miningRequest(78);
        selection(request)->setint64(databrowse::Msg53::f::browseLevel, 6);
        request.getObjectAccessor(R::ma, true)->setint64(ZyEntities::ClientEntity::f::clientId, farm);
        CWorkerThreadHM worker;
        EXPECT_TRUE(runDirect(request, worker, demo.adminUser, "admin")) << worker.getErrorMessage();
        std::vector<std::pair<int64_t, int64_t>> items;  // (type, client id)
        EXPECT_EQ(worker.getBrowseReqXML(), worker.getBrowseReqV2());
        auto* flags = worker.getBrowseReqV2()
                          ->getObjectAccessor(R::advOptions, false)
                          ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false)
                          ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false)
                          ->getlistobject(databrowse::Msg9::f::additionalFlags, false);
        EXPECT_TRUE(flags && flags->size() == 1);
        if (!flags || flags->empty()) return items;
        EXPECT_EQ(flags->front().getstring(databrowse::AdditionalFlag::f::flagName), "SP_FLAGS_ENABLED");
        EXPECT_EQ(flags->front().getint64(databrowse::AdditionalFlag::f::flagType), 8);
        databrowse::BrowseResponse answer;
        EXPECT_EQ(answer.unserialize(flags->front().getstring(databrowse::AdditionalFlag::f::value)), 0);
        EXPECT_EQ(answer.getint64(databrowse::BrowseResponse::f::respType), 5);
        auto* contents = answer.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false)
                             ->getObjectAccessor(databrowse::BrowseResult::f::advancedSettings, false)
                             ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, false)
                             ->getObjectAccessor(M::at8_8, false)
                             ->getObjectAccessor(databrowse::Msg58::f::at4_4, false)
                             ->getlistobject(databrowse::Msg52::f::spDataPathContents, false);
        if (!contents) return items;
        for (const CNMessageBase& c : *contents) {
            EVGui::SharePointItem item;
            EXPECT_EQ(item.unserialize(c.getstring(databrowse::SPDataPathContents::f::spItem)), 0);
            const int64_t id = item.getObjectAccessor(EVGui::SharePointItem::f::client, false)
                                   ->getint64(ZyEntities::ClientEntity::f::clientId);
            EXPECT_EQ(item.getstring(EVGui::SharePointItem::f::path), "\\MB\\" + std::to_string(id));
            items.emplace_back(item.getint64(EVGui::SharePointItem::f::itemType), id);
        }
        return items;
    };
    using V = std::vector<std::pair<int64_t, int64_t>>;
    EXPECT_EQ(listed(world.farmAlone), (V{{2000, world.spPrimary}}));
    EXPECT_EQ(listed(world.farmWithMembers),
              (V{{2000, world.spPrimary}, {2001, world.spMember1}, {2001, world.spMember2}}));
    EXPECT_EQ(listed(world.farmDuplicate),
              (V{{2000, world.spPrimary}, {2001, world.spPrimary}, {2001, world.spMember1}}));
    // A farm without a primary member server lists no client 0 in its place.
    EXPECT_EQ(listed(world.farmNoPrimary), V{});
}

TEST_F(AppMining, SharePointNetworkCallerIsSentToAReachableMemberServer) {
    const auto run = [&](int farm, std::string& error) {
        databrowse::BrowseRequest request = miningRequest(78);
        selection(request)->setint64(databrowse::Msg53::f::pseudoClient, 1);
        request.getObjectAccessor(R::entity, true)->setint64(ZyEntities::GenericEntity::f::clientId, farm);
        CWorkerThreadHM worker;
        const bool ok = runDirect(request, worker, demo.adminUser, "admin");
        error = worker.getErrorMessage();
        return ok ? miningOf(*worker.getBrowseReqV2())
                        ->getObjectAccessor(M::connectionInfo, false)
                        ->getstring(databrowse::ApplicationMiningConnectionInfo::f::maHostName)
                  : std::string();
    };
    std::string error;
    EXPECT_NE(run(world.farmWithMembers, error).find("spserver2"), std::string::npos) << error;
    EXPECT_EQ(run(world.farmAlone, error), "");
    EXPECT_EQ(error, "Can't find physical member server.");
    CZyNetDirectory::instance().unregisterClient("spserver2");
    CZyNetDirectory::instance().registerClient("spserver2", "127.0.0.1", 1, world.spMember1);
    EXPECT_NE(run(world.farmWithMembers, error).find("spserver3"), std::string::npos)
        << "the first member that answers: " << error;
}

namespace {

// The host library started as the host starts it, its router on loopback, the Hubmaster a client whose
// listener is that router's, and the media agent's mining services on a launcher of their own.
class AppMiningHost : public ::testing::Test {
protected:
    struct TShared {
        TempDir dir;
        std::shared_ptr<CZydListener> listener;
        std::unique_ptr<mediaagent::COnDemandServices> services;
        hubdemo::DemoWorld demo;
        zyent::TAppMiningWorld world;
        std::unique_ptr<hubtest::CChildProcess> agent;  // tools/mediaagent, the media agent that mines
        int agentClient = 0;
    };
    static constexpr const char* kAgent = "mediaagent1";  // holds the mining world's backups
    static inline TShared* s = nullptr;

    static void SetUpTestSuite() {
        s = new TShared;
        EvDebugFileInstance::setLogDirectory(s->dir.path());
        ZYPlatformInfo::setRegistryPath(s->dir.file("registry.ini"));
        s->listener = CZydListener::create();
        ASSERT_FALSE(s->listener->start(0).IsError());
        s->services = std::make_unique<mediaagent::COnDemandServices>(
            s->listener, mediaagent::TOnDemandOptions{.journalPath = s->dir.file("mining.journal"),
                                                      .indexPath = s->dir.file("agent.items.db"),
                                                      .peers = {.hubmasterName = "hubmaster"}});
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(s->dir.file("demo"), s->demo, &error)) << error;
        int hubmaster = 0;
        s->world = s->demo.mining;
        AppMining::pointMinersAt(s->demo, s->listener->port());
        hubmaster =
            hubdb::HubDbSeed(s->demo.databasePath).addClient({.name = "hubmaster", .hostName = "127.0.0.1"});
        ASSERT_TRUE(ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId", hubmaster));
        ASSERT_EQ(hubdb::openHubDatabase(s->demo.databasePath, &error), zydb::DB_OK) << error;
        ASSERT_EQ(fastBrowseHMInitialize(), 1);
        CZyNetworkServer* router = g_poBrowseRouterThreadHM->getSessionServer();
        char notListening[256] = "";
        ASSERT_GT(fastBrowseHMWaitForListener(60, notListening, sizeof notListening), 0) << notListening;
        // The mining services answer to the Hubmaster's mangled name, which names the router's port.
        hubdb::HubDbSeed(s->demo.databasePath)
            .exec("UPDATE APP_Client SET zydPort = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(router->GetPort()), zydb::DbValue::ofInt(hubmaster)});
        CZyNetDirectory::instance().registerClient("spplain", "127.0.0.1", s->listener->port(),
                                                   s->world.spPlain);

        s->agent = std::make_unique<hubtest::CChildProcess>(
            "tools/mediaagent/mediaagent",
            std::vector<std::string>{"--hub", s->demo.databasePath, "--client", kAgent, "--port", "0",
                                     "--index", s->dir.file("agent.items.db"), "--files", "100", "--log",
                                     s->dir.path(), "--mining-journal", s->dir.file("agent.journal"),
                                     "--registry", s->demo.registryPath});
        const char* listening = "listening on 127.0.0.1:";
        ASSERT_TRUE(s->agent->waitFor(listening, std::chrono::seconds(60))) << s->agent->output();
        hubdb::HubDbSeed seed(s->demo.databasePath);
        s->agentClient = static_cast<int>(
            seed.queryInt("SELECT id FROM APP_Client WHERE name = ?", {zydb::DbValue::ofText(kAgent)}));
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(static_cast<long long>(s->agent->numberAfter(listening))),
                   zydb::DbValue::ofInt(s->agentClient)});
    }
    static void TearDownTestSuite() {
        s->agent.reset();
        fastBrowseHMCleanUp();
        CZyNetDirectory::instance().unregisterClient("spplain");
        s->services.reset();
        s->listener->stop();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
        delete s;
        s = nullptr;
    }
    void TearDown() override {
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
    }

    std::unique_ptr<EvMultiEntityRestoreTask> task(std::shared_ptr<EvRecordingDestination>& destination) {
        const long long job = 9300 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, s->demo.adminUser, 0, 2,
                             s->world.exchangeClient, 0, 0, 0, 0, 0, 0, 0, 0);
        t->setUserName("admin");
        return t;
    }
    // The responses a caller received: (type, first error text, items).
    static std::vector<std::tuple<int64_t, std::string, size_t>> received(const EvRecordingDestination& d) {
        std::vector<std::tuple<int64_t, std::string, size_t>> out;
        for (const std::string& xml : d.payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse r;
            if (r.unserialize(xml) != 0) continue;
            std::string text;
            if (auto* e = r.getlistobject(databrowse::BrowseResponse::f::messages, false); e && !e->empty())
                text = e->front().getstring(databrowse::BrowseError::f::errorMessage);
            size_t items = 0;
            if (CNMessageBase* result =
                    r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false))
                if (auto* data = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
                    items = data->size();
            out.emplace_back(r.getint64(databrowse::BrowseResponse::f::respType), text, items);
        }
        return out;
    }
    // Both answers of a browse (items or error, then the end) have reached the caller.
    static bool answered(const EvRecordingDestination& d, size_t count = 2) {
        return d.waitForRecords(count, EV_RETURN_RECORD_XML_ITEM, std::chrono::seconds(30));
    }
    // A line the media agent writes to its journal (lines left in `lines`).
    bool journaled(const char* file, const std::string& start, std::vector<std::string>& lines) const {
        hubtest::CFileWatch watch(s->dir.file(file));
        return watch.waitUntil([&] { return hasLine(lines = journal(file), start, ""); },
                               std::chrono::seconds(30));
    }
    std::vector<std::string> journal(const char* file = "mining.journal") const {
        std::vector<std::string> lines;
        std::ifstream in(s->dir.file(file));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    static bool hasLine(const std::vector<std::string>& lines, const std::string& start,
                        const std::string& part) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(start, 0) == 0 && l.find(part) != std::string::npos;
        });
    }

    std::vector<long long> jobs;
};

}  // namespace

// Exchange database mining from the entry point: the completed request reaches "LiveBrowseServer" of
// the media agent's process, naming this Hubmaster, its router and the worker; the service's answers
// come back through "BrowseRouter" to the caller, and the end finishes the worker.
TEST_F(AppMiningHost, ExchangeMiningAnswersComeBackThroughTheRouter) {
    databrowse::BrowseRequest request = AppMining::exchangeRequestFor(s->world, "Mailbox Database A");
    request.getObjectAccessor(R::ma, true)->setint64(ZyEntities::ClientEntity::f::clientId, s->agentClient);
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination);
    const size_t before = g_poControllerThreadHM->getWorkerCount();
    ASSERT_TRUE(g_poControllerThreadHM->newRequest(t.get(), false, false, databrowse::FORCE_USE_INDEX_NONE,
                                                   &request));
    ASSERT_TRUE(answered(*destination));
    EXPECT_TRUE(g_poControllerThreadHM->waitForWorkerCount(before, std::chrono::seconds(30)));
    const auto got = received(*destination);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::get<0>(got[0]), 0);
    EXPECT_EQ(std::get<0>(got[1]), 5);
    // The mined database's items as the media agent's index holds them at the cycle's last job.
    std::string why;
    std::unique_ptr<mediaagent::CItemIndex> index =
        mediaagent::CItemIndex::open(s->dir.file("agent.items.db"), why);
    ASSERT_TRUE(index) << why;
    std::vector<mediaagent::TIndexJob> indexed;
    ASSERT_TRUE(index->jobs(s->world.dbSubclientFirst, indexed));
    mediaagent::TBrowseQuery root;
    root.appId = s->world.dbSubclientFirst;
    for (const mediaagent::TIndexJob& j : indexed)
        if (j.jobId == s->world.jobTwice) root.toTime = j.time;
    ASSERT_GT(root.toTime, 0);
    std::vector<mediaagent::TItemVersion> items;
    bool found = false;
    ASSERT_TRUE(index->listAt(root, items, found));
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(std::get<2>(got[0]), items.size());
    // The session's record keeps no reference of the finished request: the next request of the
    // session does not wait for it.
    if (CConfRecord* record = g_poConfMgr->getConfRec(t->getbrowseSessionGUID(), false)) {
        EXPECT_EQ(record->getRefCount(), 0u);
    }
    std::vector<std::string> lines;
    EXPECT_TRUE(journaled("agent.journal", "LiveBrowseServer answered", lines));
    EXPECT_TRUE(hasLine(lines, "LiveBrowseServer session=" + std::string(t->getbrowseSessionGUID()),
                        "router=BrowseRouter hubmaster=127.0.0.1*hubmaster"));
    EXPECT_TRUE(hasLine(lines, "LiveBrowseServer answered", "responses=2"));
    EXPECT_TRUE(hasLine(lines, "LiveBrowseServer", "user= password=none"));
    // The worker id the mining service was given and echoed is the decimal text of the worker's number.
    for (const std::string& line : lines) {
        const size_t at = line.find(" worker=");
        if (line.rfind("LiveBrowseServer session=" + std::string(t->getbrowseSessionGUID()), 0) != 0 ||
            at == std::string::npos)
            continue;
        const std::string id = line.substr(at + 8, line.find(' ', at + 8) - at - 8);
        EXPECT_TRUE(!id.empty() && id.find_first_not_of("0123456789") == std::string::npos) << line;
    }
    // A mining that went as it should logged no error of a browse's set-up it has no use for.
    for (const auto& entry : std::filesystem::directory_iterator(s->dir.path())) {
        if (entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            EXPECT_EQ(line.find("Getting source path failed"), std::string::npos) << line;
    }
}

// SharePoint from the entry point: the mining index service is launched on the client with its agent's
// stored account and answers through the router; a farm at the farm level is answered at once; a
// client whose agent keeps no password gets one error that says so.
TEST_F(AppMiningHost, SharePointRequestsOfTheEntryPoint) {
    databrowse::BrowseRequest sharePoint = AppMining::miningRequest(78);
    AppMining::selection(sharePoint)->setint64(databrowse::Msg53::f::firstId, 5);
    sharePoint.getObjectAccessor(R::entity, true)
        ->setint64(ZyEntities::GenericEntity::f::clientId, s->world.spPlain);
    sharePoint.getObjectAccessor(R::ma, true)->setstring(ZyEntities::ClientEntity::f::clientName, "spplain");
    std::shared_ptr<EvRecordingDestination> destination;
    auto t = task(destination);
    ASSERT_TRUE(g_poControllerThreadHM->newRequest(t.get(), false, false, databrowse::FORCE_USE_INDEX_NONE,
                                                   &sharePoint))
        << (received(*destination).empty() ? "" : std::get<1>(received(*destination).front()));
    ASSERT_TRUE(answered(*destination));
    EXPECT_TRUE(
        hasLine(journal(), "ZYAppMinningIdxService session=", "user=" + s->world.spUser + " password=set"));
    const auto sites = received(*destination);
    EXPECT_EQ(std::get<0>(sites[0]), 0) << "the server's sites from the index: " << std::get<1>(sites[0]);
    EXPECT_GT(std::get<2>(sites[0]), 0u);

    // A server whose sites the media agent's index does not hold: the service says so, never an empty
    // answer.
    databrowse::BrowseRequest unheld = AppMining::miningRequest(78);
    AppMining::selection(unheld)->setint64(databrowse::Msg53::f::firstId, 5);
    unheld.getObjectAccessor(R::entity, true)
        ->setint64(ZyEntities::GenericEntity::f::clientId, s->world.spPrimary);
    auto unheldTask = task(destination);
    ASSERT_TRUE(g_poControllerThreadHM->newRequest(unheldTask.get(), false, false,
                                                   databrowse::FORCE_USE_INDEX_NONE, &unheld));
    ASSERT_TRUE(answered(*destination));
    const auto refused = received(*destination);
    EXPECT_EQ(std::get<0>(refused[0]), 3);
    EXPECT_NE(
        std::get<1>(refused[0])
            .find("holds no backup of subclient [0] of client [" + std::to_string(s->world.spPrimary) + "]"),
        std::string::npos)
        << std::get<1>(refused[0]);
    EXPECT_EQ(std::get<0>(refused[1]), 5);

    databrowse::BrowseRequest farm = AppMining::miningRequest(78);
    AppMining::selection(farm)->setint64(databrowse::Msg53::f::browseLevel, 6);
    farm.getObjectAccessor(R::ma, true)
        ->setint64(ZyEntities::ClientEntity::f::clientId, s->world.farmWithMembers);
    auto farmTask = task(destination);
    // The requests above end after their answers: their workers may still be leaving.
    ASSERT_TRUE(g_poControllerThreadHM->waitForWorkerCount(0, std::chrono::seconds(30)));
    const size_t before = g_poControllerThreadHM->getWorkerCount();
    EXPECT_TRUE(g_poControllerThreadHM->newRequest(farmTask.get(), false, false,
                                                   databrowse::FORCE_USE_INDEX_NONE, &farm));
    EXPECT_EQ(g_poControllerThreadHM->getWorkerCount(), before) << "the request is over with its answer";
    auto got = received(*destination);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<0>(got[0]), 5);

    databrowse::BrowseRequest noPassword = AppMining::miningRequest(78);
    AppMining::selection(noPassword)->setint64(databrowse::Msg53::f::firstId, 5);
    noPassword.getObjectAccessor(R::entity, true)
        ->setint64(ZyEntities::GenericEntity::f::clientId, s->world.spMember1);
    noPassword.getObjectAccessor(R::ma, true)
        ->setstring(ZyEntities::ClientEntity::f::clientName, "spserver2");
    auto noPasswordTask = task(destination);
    EXPECT_FALSE(g_poControllerThreadHM->newRequest(noPasswordTask.get(), false, false,
                                                    databrowse::FORCE_USE_INDEX_NONE, &noPassword));
    got = received(*destination);
    ASSERT_EQ(got.size(), 1u) << "exactly one error";
    EXPECT_EQ(std::get<0>(got[0]), 3);
    EXPECT_EQ(std::get<1>(got[0]), "Please enter password for the User [].");
}

// A mining service answers only the Hubmaster: another machine's request is refused on its own session,
// and nothing goes to the router the request names.
TEST_F(AppMiningHost, MiningServicesAnswerOnlyTheHubmaster) {
    const TZyNetOptions saved = zyNetOptions();
    TZyNetOptions asClient = saved;
    asClient.localClientName = "client1";
    setZyNetOptions(asClient);
    databrowse::BrowseRequest request = AppMining::exchangeRequestFor(s->world, "Mailbox Database A");
    request.getObjectAccessor(R::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, "outsider");
    std::unique_ptr<CNMessageBase> reply;
    {
        ODSSessionCache cache;
        CZyNetwork* session = nullptr;
        const std::string host = MangleHostName(
            "127.0.0.1", kAgent, 0, static_cast<int>(s->agent->numberAfter("listening on 127.0.0.1:")));
        ASSERT_FALSE(cache.GetSession(host.c_str(), "LiveBrowseServer", "outsider", nullptr, nullptr, session)
                         .IsError());
        bool timedOut = false;
        CNMessageBase* received = nullptr;
        EXPECT_FALSE(session->SendXMLMessage(request, 0, 10, timedOut).IsError());
        EXPECT_FALSE(session->ReceiveXMLMessage(nullptr, received, nullptr, 0, 10, timedOut).IsError());
        reply.reset(received);
        ignoreResult(cache.ReleaseSession(host.c_str(), "LiveBrowseServer", session), "always success");
    }
    setZyNetOptions(saved);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->getint64(databrowse::BrowseResponse::f::respType), 3);
    const std::vector<std::string> lines = journal("agent.journal");
    EXPECT_TRUE(hasLine(lines, "LiveBrowseServer refused session=outsider", "peer=client1"));
    EXPECT_FALSE(hasLine(lines, "LiveBrowseServer session=outsider", ""));
    // The refusal is in the media agent's own log too, with the session and the caller's proven name.
    std::ifstream in(s->dir.file(std::string(kAgent) + ".log"));
    const std::string agentLog((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(agentLog.find("request of session [outsider] by [client1]: LiveBrowseServer: refused"),
              std::string::npos)
        << agentLog;
}
