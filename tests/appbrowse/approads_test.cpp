// The application roads of intake over the demo world with the application-browse seed: Exchange
// database and Notes agents across their upgrade, live machine browse initialisation, the OneDrive
// restriction, mailbox access and path rewriting, and the Hubmaster-database mailbox query. Whole
// requests go through the controller into a recording channel; the roads' own members are called on a
// worker where the caller's view is the worker's state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "appbrowse/mailboxaccess.h"
#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/appbrowseseed.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/zytime.h"
#include "service/controllerthread.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/answers/browseanswers.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr long kDay = 86400;

class ProbeWorker : public CWorkerThreadHM {
public:
};

struct TAnswers {
    std::vector<int64_t> types;
    std::vector<std::pair<int64_t, std::string>> errors;
    std::vector<std::pair<std::string, int64_t>> items;  // name, size
};

class AppRoads : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        apps_ = world.apps;  // the demo world's application roads
        {
            hubdb::HubDbSeed seed(world.databasePath);
            zysec::SecuritySeed security(seed);
            // May browse the Windows machine but not browse it live.
            security.grant(world.fileUser, zysec::kPermBrowse, {.clientId = apps_.windowsMachine});
            ASSERT_TRUE(security.ok()) << security.error();
        }
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        cache = std::make_unique<CConfigurationMgr>();
        savedConfMgr = std::exchange(g_poConfMgr, cache.get());
        static std::atomic<int> n{0};
        CControllerThreadHM::TOptions options;
        options.stopEventName = "app-roads-" + std::to_string(getpid()) + "-" + std::to_string(++n);
        controller = std::make_unique<CControllerThreadHM>(options);
        // The workers stay readable after the controller lets them go.
        controller->setWorkerFactory([this] {
            auto worker = std::make_shared<CWorkerThreadHM>();
            made.push_back(worker);
            return worker;
        });
    }
    void TearDown() override {
        controller.reset();
        made.clear();
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
        g_poConfMgr = savedConfMgr;  // the library's own manager goes back in place
        cache.reset();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }

    std::unique_ptr<EvMultiEntityRestoreTask> task(int user, const char* userName, int client, int backupSet,
                                                   long appType, long from, long to,
                                                   const char* path = "\\") {
        const long long job = 7700 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, user, 0, 2, client, backupSet, 0, to,
                             from, appType, 0, 0, 0);
        t->setUserName(userName);
        t->setTaskLocale(0x0409);
        if (path) t->addPath(EvRestoreTask::kBrowsePathList, path);
        return t;
    }
    // One mailbox check of the mailbox client by `user` at `path`, in rights mode `mode`, and its outputs.
    struct TMailboxOut {
        bool result = false;
        bool denied = false, useTriplet = false, spans = false;
        std::string filter, triplet, guid;
    };
    TMailboxOut mailboxCheck(int user, long appType, const std::string& path, int mode, bool delegate = false,
                             long from = 0, long to = 0) {
        ProbeWorker worker;
        worker.setIsDelegateAccess(delegate);
        auto t = task(user, "EXCH\\user", apps_.mailboxClient, apps_.mailboxBackupSet, appType, from, to,
                      path.c_str());
        TMailboxOut o;
        o.result = worker.handleExchangeRequest(t.get(), mode, o.filter, o.triplet, o.useTriplet, o.spans,
                                                o.denied, o.guid);
        return o;
    }
    bool run(EvMultiEntityRestoreTask* t, databrowse::BrowseRequest* request = nullptr) {
        return controller->newRequest(t, false, false, databrowse::FORCE_USE_INDEX_NONE, request);
    }
    // What reached the caller; the workers let go first, so that their channels deliver everything.
    TAnswers answers() {
        made.clear();
        TAnswers a;
        for (const hubtest::TAnswer& r : hubtest::responsesOf(*destination)) {
            a.types.push_back(r.type);
            a.errors.insert(a.errors.end(), r.errors.begin(), r.errors.end());
            for (const CNMessageBase& i : r.items)
                a.items.emplace_back(i.getstring(databrowse::BrowseData::f::name),
                                     i.getint64(databrowse::BrowseData::f::size));
        }
        return a;
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    zyent::AppBrowseWorld apps_;
    std::unique_ptr<CConfigurationMgr> cache;
    CConfigurationMgr* savedConfMgr = nullptr;  // the library's own, while the test's is in place
    std::unique_ptr<CControllerThreadHM> controller;
    std::vector<std::shared_ptr<CWorkerThreadHM>> made;
    std::vector<long long> jobs;
    std::shared_ptr<EvRecordingDestination> destination;
};

}  // namespace

// Exchange database and Notes agents across their upgrade, through the controller.
TEST_F(AppRoads, UpgradedAgents) {
    const long before = apps_.beforeUpgrade, after = apps_.afterUpgrade;
    // Wholly before the upgrade: the stores of the default backup set from the Hubmaster database, a store
    // whose size is unknown left out, then the end.
    auto stores = task(world.adminUser, "admin", apps_.exchDbClient, apps_.exchDbBackupSet, 53, before - kDay,
                       before + kDay);
    EXPECT_TRUE(run(stores.get())) << made.back()->getErrorMessage();
    TAnswers a = answers();
    EXPECT_EQ(a.types, (std::vector<int64_t>{0, 5}));
    EXPECT_EQ(a.items, (std::vector<std::pair<std::string, int64_t>>{
                           {"First Storage Group\\Mailbox Store", 5LL << 30},
                           {"First Storage Group\\Public Store", 2LL << 30},
                           {"Third Storage Group\\Journal Store", 1LL << 30}}));

    // Across it: error 12 naming the upgrade time, then the end.
    auto across = task(world.adminUser, "admin", apps_.exchDbClient, apps_.exchDbBackupSet, 53, before - kDay,
                       after + kDay);
    EXPECT_FALSE(run(across.get()));
    a = answers();
    EXPECT_EQ(a.types, (std::vector<int64_t>{3, 5}));
    ASSERT_EQ(a.errors.size(), 1u);
    EXPECT_EQ(a.errors[0].first, 12);
    char when[ZyTime::kTextSize] = {};
    ZyTime(static_cast<long>(apps_.upgradeTime), when, 0, sizeof when);
    EXPECT_NE(a.errors[0].second.find(when), std::string::npos) << a.errors[0].second;

    // Notes refuses a range across it too.
    auto notes = task(world.adminUser, "admin", apps_.notesClient, apps_.notesBackupSet, 59, before - kDay,
                      after + kDay);
    EXPECT_FALSE(run(notes.get()));
    a = answers();
    EXPECT_EQ(a.types, (std::vector<int64_t>{3, 5}));
    EXPECT_EQ(a.errors.at(0).first, 12);

    // A user who may browse none of it is refused before the upgrade route answers anything.
    auto unseen = task(apps_.strangerUser, "EXCH\\sam", apps_.exchDbClient, apps_.exchDbBackupSet, 53,
                       before - kDay, before + kDay);
    EXPECT_FALSE(run(unseen.get()));
    a = answers();
    ASSERT_FALSE(a.types.empty());
    EXPECT_EQ(a.types.front(), 3);
    EXPECT_TRUE(a.items.empty());

    // A never-upgraded client with a snapshot subclient is answered from the database.
    auto snap = task(world.adminUser, "admin", apps_.exchDbPlainClient, 0, 53, before - kDay, after + kDay);
    EXPECT_TRUE(run(snap.get()));
    EXPECT_EQ(answers().items,
              (std::vector<std::pair<std::string, int64_t>>{{"Storage Group\\Snap Store", 3LL << 30}}));

    // An upgrade record that cannot be read: error 11 and the end.
    {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_EQ(
            seed.exec(
                "UPDATE APP_ClientProp SET attrVal = 'soon' WHERE componentNameId = ? AND attrName = ?",
                {zydb::DbValue::ofInt(apps_.notesClient), zydb::DbValue::ofText("Client Upgrade Time")}),
            zydb::DB_OK);
    }
    auto unreadable =
        task(world.adminUser, "admin", apps_.notesClient, apps_.notesBackupSet, 59, before, before);
    EXPECT_FALSE(run(unreadable.get()));
    a = answers();
    EXPECT_EQ(a.types, (std::vector<int64_t>{3, 5}));
    EXPECT_EQ(a.errors.at(0).first, 11);
}

// The route's decisions that let a request go on to the ordinary browse.
TEST_F(AppRoads, UpgradeRouteGoesOn) {
    ProbeWorker worker;
    worker.setWorkerId("91");
    bool generated = false;
    TRequestAuth auth;
    auto decide = [&](int client, long from, long to, int appType = 53) {
        auto t = task(world.adminUser, "admin", client, 0, appType, from, to);
        EXPECT_TRUE(worker.normaliseRequest(t.get(), auth, generated).ok());
        return worker.routeAcrossAgentUpgrade(t.get());
    };
    // An open start across the upgrade, and a range after it, are browsed as usual.
    EXPECT_EQ(decide(apps_.exchDbClient, 0, apps_.afterUpgrade + kDay),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    EXPECT_EQ(decide(apps_.exchDbClient, apps_.afterUpgrade + 1, apps_.afterUpgrade + kDay),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    // Notes: a point in time after the upgrade reads the cycle after it, and a range that starts after
    // it reads nothing of the cycle before; both are browsed.
    EXPECT_EQ(decide(apps_.notesClient, 0, apps_.afterUpgrade + kDay, 59),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    EXPECT_EQ(decide(apps_.notesClient, apps_.upgradeTime + 3600, apps_.afterUpgrade + kDay, 59),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    EXPECT_EQ(decide(apps_.notesClient, 0, apps_.upgradeTime + 3600, 59),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    // The registry switch turns the snapshot rule off: a never-upgraded client's snapshot subclient is
    // then browsed as usual; without it, from the database.
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~Hubmaster", "bDISABLEEXDBHUBMASTERBROWSE", 1));
    EXPECT_EQ(decide(apps_.exchDbPlainClient, apps_.afterUpgrade - kDay, apps_.afterUpgrade + kDay),
              CWorkerThreadHM::EUpgradeRoute::kGoOn);
    EXPECT_TRUE(destination->payloads(EV_RETURN_RECORD_XML_ITEM).empty());
    ZYPlatformInfo::removeValue("~Hubmaster", "bDISABLEEXDBHUBMASTERBROWSE");
    EXPECT_EQ(decide(apps_.exchDbPlainClient, apps_.afterUpgrade - kDay, apps_.afterUpgrade + kDay),
              CWorkerThreadHM::EUpgradeRoute::kAnswered);
}

namespace {

databrowse::BrowseRequest liveRequest(int client, int backupSet, bool withPath = true) {
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::initMachineBrowse, 1);
    CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    if (backupSet) entity->setint64(ZyEntities::GenericEntity::f::backupsetId, backupSet);
    entity->setint64(ZyEntities::GenericEntity::f::clientId, client);
    entity->setint64(ZyEntities::GenericEntity::f::applicationId, 29);
    if (withPath) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "C:\\");
        request.setlistobject(databrowse::BrowseRequest::f::paths, {path});
    }
    return request;
}

CNMessageBase* liveBlock(CNMessageBase* request) {
    return request->getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::liveBrowseBlock, true);
}

std::string passwordOf(CNMessageBase* block) {
    pstring*& password = block->getpstringobject(databrowse::Msg62::f::password);
    return password ? password->str() : std::string();
}

}  // namespace

// Live machine browse initialisation: completed and handed back, or refused with its error.
TEST_F(AppRoads, LiveMachineBrowse) {
    using B = databrowse::Msg62::f;
    // The media agent reads it at service pack 24: the request comes back signed; what it carries is
    // checked as the agent opens it.
    std::vector<std::unique_ptr<databrowse::BrowseRequest>> opened;
    auto complete = [&](int client, int backupSet, databrowse::BrowseRequest request) -> CNMessageBase* {
        auto t = task(world.adminUser, "admin", client, backupSet, 29, 0, 0, "C:\\");
        if (!run(t.get(), &request)) return nullptr;
        auto* secured = dynamic_cast<databrowse::SecuredBrowseRequest*>(made.back()->getBrowseReqXML());
        if (!secured) return nullptr;
        I2::SecuredMessageHandler checker;
        opened.push_back(std::make_unique<databrowse::BrowseRequest>());
        if (checker.openSecuredBrowseRequest(*secured, *opened.back(), "hubmaster") != I2::SECURED_OK)
            return nullptr;
        return opened.back().get();
    };
    // A Windows machine: its proxy and the first of its user profiles, the session and the index server.
    CNMessageBase* windows = complete(apps_.windowsMachine, apps_.windowsBackupSet,
                                      liveRequest(apps_.windowsMachine, apps_.windowsBackupSet));
    ASSERT_NE(windows, nullptr) << made.back()->getErrorMessage();
    CNMessageBase* block = liveBlock(windows);
    EXPECT_EQ(block->getstring(B::proxyMachineName), "liveproxy-win");
    EXPECT_EQ(block->getstring(B::userName), apps_.firstProfile);
    EXPECT_EQ(passwordOf(block), "@@PWD_PROBE@@");
    EXPECT_TRUE(block->isSet(B::liveBrowseDetails));
    EXPECT_FALSE(windows->getObjectAccessor(databrowse::BrowseRequest::f::session, true)
                     ->getstring(databrowse::BrowseSession::f::sessionId)
                     .empty());
    EXPECT_FALSE(windows->getObjectAccessor(databrowse::BrowseRequest::f::indexing, true)
                     ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
                     ->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, true)
                     ->getstring(databrowse::IndexDBInfo::f::mediaAgentName)
                     .empty());

    // A Linux machine: no proxy needed, the configured user with the probe, no profile asked.
    CNMessageBase* linux = complete(apps_.linuxMachine, apps_.linuxBackupSet,
                                    liveRequest(apps_.linuxMachine, apps_.linuxBackupSet));
    ASSERT_NE(linux, nullptr);
    EXPECT_EQ(liveBlock(linux)->getstring(B::proxyMachineName), "");
    EXPECT_EQ(liveBlock(linux)->getstring(B::userName), apps_.linuxUserName);
    EXPECT_EQ(passwordOf(liveBlock(linux)), "@@PWD_PROBE@@");

    // The caller's own user name stays, without the probe.
    databrowse::BrowseRequest own = liveRequest(apps_.windowsMachine, apps_.windowsBackupSet);
    liveBlock(&own)->setstring(B::userName, "CORP\\caller");
    CNMessageBase* kept = complete(apps_.windowsMachine, apps_.windowsBackupSet, own);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(liveBlock(kept)->getstring(B::userName), "CORP\\caller");
    EXPECT_EQ(passwordOf(liveBlock(kept)), "");

    // Each refusal with its code-11 text.
    auto refusal = [&](int user, const char* name, int client, databrowse::BrowseRequest request) {
        auto t = task(user, name, client, 0, 29, 0, 0, "C:\\");
        EXPECT_FALSE(run(t.get(), &request));
        EXPECT_EQ(made.back()->getBrowseReqXML(), nullptr);
        const TAnswers a = answers();
        return a.errors.empty() ? std::pair<int64_t, std::string>{} : a.errors.back();
    };
    using Error = std::pair<int64_t, std::string>;
    EXPECT_EQ(refusal(world.adminUser, "admin", apps_.windowsMachine, liveRequest(apps_.windowsMachine, 0)),
              (Error{11, "backupset id missing in the request"}));
    EXPECT_EQ(refusal(world.fileUser, "alice", apps_.windowsMachine,
                      liveRequest(apps_.windowsMachine, apps_.windowsBackupSet)),
              (Error{3, "user does not have the required permissions"}));
    EXPECT_EQ(refusal(world.adminUser, "admin", apps_.windowsMachine,
                      liveRequest(apps_.windowsMachine, apps_.windowsBackupSet, false)),
              (Error{11, "No paths provided to browse"}));
    EXPECT_EQ(refusal(world.adminUser, "admin", apps_.noProfileMachine,
                      liveRequest(apps_.noProfileMachine, apps_.noProfileBackupSet)),
              (Error{11, "User profile not set for this machine"}));
    // A machine that holds no file systems to browse live is refused on what it holds, before the
    // live-browse configuration is read.
    EXPECT_EQ(refusal(world.adminUser, "admin", apps_.exchDbClient,
                      liveRequest(apps_.exchDbClient, apps_.windowsBackupSet)),
              (Error{databrowse::BROWSE_ERR_GENERIC, "client [exchdb1] holds no file systems (type 29)"}));
    // An index database without its index server: the caller is told so, not that no server is listed.
    {
        hubdb::HubDbSeed seed(world.databasePath);
        ASSERT_EQ(seed.exec("UPDATE App_IndexDBInfo SET currentIdxServer = 0 WHERE backupSetId = ?",
                            {zydb::DbValue::ofInt(apps_.noProfileBackupSet)}),
                  zydb::DB_OK);
    }
    const Error noServer = refusal(world.adminUser, "admin", apps_.noProfileMachine,
                                   liveRequest(apps_.noProfileMachine, apps_.noProfileBackupSet));
    EXPECT_EQ(noServer.first, 11);
    EXPECT_NE(noServer.second.find("has no index server"), std::string::npos) << noServer.second;
    // A user who failed authentication is refused, whatever the live-browse right.
    EXPECT_EQ(refusal(apps_.strangerUser, "EXCH\\sam", apps_.windowsMachine,
                      liveRequest(apps_.windowsMachine, apps_.windowsBackupSet))
                  .first,
              3);
}

namespace {

databrowse::Query queryOfKind(int kind) {
    databrowse::Query query;
    query.setint64(databrowse::Query::f::type, kind);
    query.setstring(databrowse::Query::f::queryId, "q" + std::to_string(kind));
    return query;
}

// The values of the criteria of `attribute` in the query.
std::vector<std::string> criterionValues(CNMessageBase& query, int attribute) {
    std::vector<std::string> out;
    if (auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false))
        for (CNMessageBase& c : *criteria) {
            CNMessageBase* value = c.getObjectAccessor(databrowse::Criteria::f::criteria, false);
            if (value && value->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute) == attribute)
                for (const std::string& v :
                     *value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, true))
                    out.push_back(v);
        }
    return out;
}

}  // namespace

// OneDrive end users: the object-id filter on V2, their own folder on V1.
TEST_F(AppRoads, OneDriveRestriction) {
    auto oneDriveTask = [&](int client, int user, const char* path) {
        return task(user, "TENANT\\olivia", client, 0, 134, 0, 0, path);
    };
    // V2: every data query gets the filter; a request without queries gets one that carries it.
    ProbeWorker v2;
    fields(v2).queryList() = std::make_unique<databrowse::Querylist>();
    fields(v2).queryList()->setlistobject(databrowse::Querylist::f::queries,
                                          {queryOfKind(0), queryOfKind(4)});
    auto t = oneDriveTask(apps_.oneDriveV2Client, apps_.oneDriveUser, "\\");
    ASSERT_TRUE(v2.handleOneDriveRequest(t.get()));
    auto* queries = fields(v2).queryList()->getlistobject(databrowse::Querylist::f::queries, false);
    EXPECT_EQ(criterionValues(queries->at(0), 20), std::vector<std::string>{"AB12XCD34XEF56"});
    EXPECT_TRUE(criterionValues(queries->at(1), 20).empty());

    ProbeWorker bare;
    ASSERT_TRUE(bare.handleOneDriveRequest(t.get()));
    ASSERT_NE(fields(bare).queryList(), nullptr);
    queries = fields(bare).queryList()->getlistobject(databrowse::Querylist::f::queries, false);
    ASSERT_EQ(queries->size(), 1u);
    EXPECT_EQ(queries->front().getint64(databrowse::Query::f::type), 0);
    EXPECT_EQ(criterionValues(queries->front(), 20), std::vector<std::string>{"AB12XCD34XEF56"});
    // Without an object id there is no filter to add: refused.
    auto noObject = oneDriveTask(apps_.oneDriveV2Client, apps_.oneDriveUserWithoutEmail, "\\");
    EXPECT_FALSE(ProbeWorker().handleOneDriveRequest(noObject.get()));

    // V1: the way to the user's own folder leads to it; a path in it is browsed as asked.
    const std::string own = "\\OneDrive\\" + apps_.oneDriveEmail;
    auto rewritten = [&](const char* path, int user = 0) -> std::string {
        ProbeWorker worker;
        auto v1 = oneDriveTask(apps_.oneDriveV1Client, user ? user : apps_.oneDriveUser, path);
        if (!worker.handleOneDriveRequest(v1.get())) return "refused";
        return v1->getPath(EvRestoreTask::kBrowsePathList);
    };
    EXPECT_EQ(rewritten("\\"), own);
    EXPECT_EQ(rewritten("\\OneDrive"), own);
    EXPECT_EQ(rewritten("\\OneDrive\\**\\*"), own + "\\**\\*");
    EXPECT_EQ(rewritten((own + "\\Documents\\plans").c_str()), own + "\\Documents\\plans");
    EXPECT_EQ(rewritten("\\OneDrive\\nemo@example.com"), "refused");
    EXPECT_EQ(rewritten((own + "2").c_str()), "refused");
    EXPECT_EQ(rewritten("\\", apps_.oneDriveUserWithoutEmail), "refused");

    // Her folder is hers whatever her e-mail holds ('/' included), and only hers: each path asked, in
    // either separator, against a model of the rule (her folder on a separator boundary, never climbing).
    for (const std::string& email :
         {apps_.oneDriveEmail, std::string("ops/olivia@example.com"), std::string("a/b/c@example.com")}) {
        {
            hubdb::HubDbSeed seed(world.databasePath);
            ASSERT_EQ(seed.exec("UPDATE UMUsers SET email = ? WHERE id = ?",
                                {zydb::DbValue::ofText(email), zydb::DbValue::ofInt(apps_.oneDriveUser)}),
                      zydb::DB_OK);
        }
        const std::string folder = "\\OneDrive\\" + email;
        auto slashed = [](std::string p) {
            std::replace(p.begin(), p.end(), '\\', '/');
            return p;
        };
        const std::string otherEmail = "oscar@example.com";  // the tenant's other user
        const std::string other = "\\OneDrive\\" + otherEmail;
        const std::vector<std::string> asked = {"\\",
                                                "\\OneDrive",
                                                "\\OneDrive\\**\\*",
                                                folder,
                                                folder + "\\Documents\\plans",
                                                slashed(folder + "\\Documents"),
                                                folder + "2",
                                                folder + "\\..\\x",
                                                other,
                                                other + "\\Documents",
                                                slashed(folder) + "/../../" + otherEmail};
        for (const std::string& path : asked) {
            // The model: the way down leads to her folder; her folder or below it as asked; else refused.
            std::string judged = path, mine = folder;
            std::replace(judged.begin(), judged.end(), '/', '\\');
            std::replace(mine.begin(), mine.end(), '/', '\\');
            std::string expected = "refused";
            if (judged == "\\" || judged == "\\OneDrive")
                expected = folder;
            else if (judged == "\\OneDrive\\**\\*")
                expected = folder + "\\**\\*";
            else if ((judged == mine || judged.rfind(mine + "\\", 0) == 0) &&
                     judged.find("\\..", mine.size()) == std::string::npos)
                expected = path;
            EXPECT_EQ(rewritten(path.c_str()), expected) << "e-mail [" << email << "] path [" << path << "]";
        }
    }
    // Client ids 0 and 1 never reach the database.
    auto noClient = oneDriveTask(1, apps_.oneDriveUser, "\\");
    EXPECT_FALSE(ProbeWorker().handleOneDriveRequest(noClient.get()));

    // Through intake: an instance whose provider cannot be read leaves the end user's restriction
    // untold, so the request is refused (it fails closed) and nothing is answered.
    auto unknownProvider = oneDriveTask(apps_.oneDriveV2Client, apps_.oneDriveUser, "\\");
    unknownProvider->setInstanceId(987654);
    EXPECT_FALSE(run(unknownProvider.get()));
    TAnswers a = answers();
    ASSERT_FALSE(a.types.empty());
    EXPECT_EQ(a.types.front(), 3);
    EXPECT_TRUE(a.items.empty());
    ASSERT_FALSE(a.errors.empty());
    EXPECT_EQ(a.errors.front().second, "Browse access denied: you are not authorised to browse this data.");
}

// Mailbox access: owner, delegate and stranger, filter and triplet paths, the older layout's check and
// the range across the client's upgrade.
TEST_F(AppRoads, MailboxAccess) {
    using TOut = TMailboxOut;
    auto check = [&](int user, long appType, const std::string& path, int mode, bool delegate = false,
                     long from = 0,
                     long to = 0) { return mailboxCheck(user, appType, path, mode, delegate, from, to); };
    const std::string owner = apps_.ownerGuid;
    TOut o = check(apps_.ownerUser, 54, "\\MB", 1);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.filter, "\\MB\\" + owner + "\\**\\*");
    std::string pattern;
    replaceOldExchDelim(apps_.ownerTriplet, pattern);
    EXPECT_EQ(pattern, "EXCHSRV1*Mailbox Store*mary");
    // The older layout's filter is his triplet itself: as a pattern it would take in "...*rosemary" too.
    EXPECT_EQ(check(apps_.ownerUser, 56, "\\", 1).filter, apps_.ownerTriplet + "\\**\\*");

    // His own GUID in other letters is his; another's is refused; a delegated folder is allowed.
    std::string lowerOwn = owner;
    for (char& c : lowerOwn) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    o = check(apps_.ownerUser, 54, "\\MB\\" + lowerOwn + "\\Inbox", 1);
    EXPECT_TRUE(o.result && !o.denied);
    o = check(apps_.strangerUser, 54, "\\MB\\" + owner + "\\Inbox", 1);
    EXPECT_TRUE(o.result && o.denied);
    o = check(apps_.delegateUser, 54, "\\MB\\" + owner + "\\Inbox\\**\\*", 1, true);
    EXPECT_TRUE(o.result && !o.denied);
    EXPECT_EQ(o.guid, getMbxGUID(owner));
    EXPECT_TRUE(check(apps_.delegateUser, 54, "\\MB\\" + owner + "\\Sent Items", 1, true).denied);
    EXPECT_TRUE(check(apps_.strangerUser, 54, "\\MB\\" + owner + "\\Inbox", 1, true).denied);
    // His GUID below another folder (another's mailbox by its triplet, say) is not his mailbox.
    const std::string elsewhere = std::string("EXCHSRV1\x12Mailbox Store\x12") + "dan\\" + owner + "\\Inbox";
    o = check(apps_.ownerUser, 54, elsewhere, 1);
    EXPECT_TRUE(o.result && o.denied);
    EXPECT_TRUE(check(apps_.delegateUser, 54, elsewhere, 1, true).denied);
    o = check(apps_.ownerUser, 54, "/MB/" + owner + "/Inbox", 1);
    EXPECT_TRUE(o.result && !o.denied);

    // The older layout: the user's own triplet only.
    o = check(apps_.ownerUser, 56, "\\EXCHSRV1\\mailbox store\\mary\\Inbox", 1);
    EXPECT_TRUE(o.result && !o.denied);
    o = check(apps_.ownerUser, 56, "\\EXCHSRV1\\Mailbox Store\\dan\\Inbox", 1);
    EXPECT_TRUE(o.result && o.denied);

    // Across the upgrade: refused with its message; an open start is not; wholly before: the triplet path.
    const long up = static_cast<long>(apps_.upgradeTime);
    o = check(world.adminUser, 54, "\\MB\\" + owner, 2, false, up - kDay, up + kDay);
    EXPECT_TRUE(o.result && o.spans);
    o = check(world.adminUser, 54, "\\MB\\" + owner, 2, false, 0, up + kDay);
    EXPECT_FALSE(o.spans || o.useTriplet);
    o = check(world.adminUser, 54, "\\MB\\" + owner, 2, false, up - 2 * kDay, up - kDay);
    EXPECT_TRUE(o.useTriplet);
    EXPECT_EQ(o.triplet, apps_.ownerTriplet);
    // An end user's listing of the mailboxes lists that level, confined to his own mailbox's older path;
    // his find from there searches that path.
    o = check(apps_.ownerUser, 54, "\\MB", 1, false, up - 2 * kDay, up - kDay);
    EXPECT_TRUE(o.result && !o.useTriplet && !o.denied);
    EXPECT_EQ(o.triplet, "");
    EXPECT_EQ(o.filter, apps_.ownerTriplet + "\\**\\*");
    o = check(apps_.ownerUser, 54, "\\MB\\**\\*", 1, false, up - 2 * kDay, up - kDay);
    EXPECT_TRUE(o.result && o.useTriplet);
    EXPECT_EQ(o.triplet, apps_.ownerTriplet + "\\**\\*");
    EXPECT_EQ(o.filter, apps_.ownerTriplet + "\\**\\*");
    // A mailbox without a triplet keeps its own filter before the upgrade, never a bare wildcard tail.
    o = check(apps_.strangerUser, 54, "\\MB", 1, false, up - 2 * kDay, up - kDay);
    EXPECT_TRUE(o.result && !o.useTriplet && !o.denied);
    EXPECT_EQ(o.filter, "\\MB\\" + apps_.strangerGuid + "\\**\\*");

    // A mailbox whose path holds a wildcard cannot be confined to: refused, with why.
    {
        hubdb::HubDbSeed seed(world.databasePath);
        zyent::AppBrowseSeed more(seed);
        more.addMailbox({.ownerId = world.fileUser,
                         .subclientId = apps_.mailboxSubclient,
                         .guid = "{0BADC0DE-0000-4000-8000-000000000001}",
                         .server = "EXCHSRV1",
                         .store = "Mailbox Store",
                         .alias = "m*",
                         .created = up - 2 * kDay});
        ASSERT_TRUE(more.ok()) << more.error();
    }
    for (const auto& [appType, from, to] :
         {std::tuple<long, long, long>{56, 0, 0}, {54, up - 2 * kDay, up - kDay}}) {
        ProbeWorker worker;
        auto t = task(world.fileUser, "EXCH\\alice", apps_.mailboxClient, apps_.mailboxBackupSet, appType,
                      from, to, "\\MB");
        TOut r;
        EXPECT_FALSE(worker.handleExchangeRequest(t.get(), 1, r.filter, r.triplet, r.useTriplet, r.spans,
                                                  r.denied, r.guid))
            << appType;
        EXPECT_EQ(worker.getErrorId(), databrowse::BROWSE_ERR_PERMISSION) << appType;
        EXPECT_NE(std::string(worker.getErrorMessage()).find("your own mailbox"), std::string::npos)
            << worker.getErrorMessage();
    }
}

// A find that names no path (the wildcard tail alone) is a find from the mailboxes' root for an end user,
// and no browse at mailbox level for an administrator; an end user with no mailbox to browse in the
// layout asked is refused saying so.
TEST_F(AppRoads, MailboxRootsAndRefusalsSayWhy) {
    const std::string owner = apps_.ownerGuid;
    const long up = static_cast<long>(apps_.upgradeTime);
    TMailboxOut o;
    auto check = [&](int user, long appType, const std::string& path, int mode, long from, long to) {
        return mailboxCheck(user, appType, path, mode, false, from, to);
    };
    // The end user's range across the upgrade is refused as such; the administrator's is not.
    const std::string tail = "\\**\\*";
    o = check(apps_.ownerUser, 54, tail, 1, up - kDay, up + kDay);
    EXPECT_TRUE(o.result && o.spans);
    EXPECT_EQ(o.filter, "\\MB\\" + owner + tail);
    o = check(world.adminUser, 54, tail, 2, up - kDay, up + kDay);
    EXPECT_TRUE(o.result && !o.spans && !o.denied && o.filter.empty());
    EXPECT_FALSE(isMailboxRootPath(tail));
    // An end user without a mailbox of his own is refused saying so; one whose mailbox has no path in
    // the older layout, in that layout.
    for (const auto& [user, appType, path] :
         {std::tuple<int, long, std::string>{apps_.oneDriveUser, 54, "\\MB"},
          {apps_.oneDriveUser, 54, "\\MB\\" + owner},
          {apps_.strangerUser, 56, "\\MB"}}) {
        ProbeWorker worker;
        auto t = task(user, "EXCH\\user", apps_.mailboxClient, apps_.mailboxBackupSet, appType, 0, 0,
                      path.c_str());
        TMailboxOut r;
        EXPECT_FALSE(worker.handleExchangeRequest(t.get(), 1, r.filter, r.triplet, r.useTriplet, r.spans,
                                                  r.denied, r.guid))
            << user << " " << path;
        EXPECT_EQ(worker.getErrorId(), databrowse::BROWSE_ERR_PERMISSION) << user << " " << path;
        EXPECT_NE(std::string(worker.getErrorMessage())
                      .find(appType == 56 ? "no path in the layout" : "records none"),
                  std::string::npos)
            << worker.getErrorMessage();
    }
}

// An end user's browse of the mailboxes carries his filter to the media agent even when its caller sent
// no query to carry it: the request is prepared (direct mode) with a data query filtered to his mailbox.
TEST_F(AppRoads, MailboxFilterWithoutQueries) {
    std::shared_ptr<ProbeWorker> probe;
    controller->setWorkerFactory([&] {
        probe = std::make_shared<ProbeWorker>();
        probe->setDirectAPI(true);
        return probe;
    });
    auto t = task(apps_.ownerUser, "EXCH\\mary", apps_.mailboxClient, apps_.mailboxBackupSet, 54, 0,
                  static_cast<long>(apps_.upgradeTime + 3 * kDay), "\\MB");
    t->setSubClientId(apps_.mailboxSubclient);
    ASSERT_TRUE(run(t.get())) << answers().errors.size();
    ASSERT_NE(probe, nullptr);
    ASSERT_NE(fields(*probe).queryList(), nullptr);
    auto* queries = fields(*probe).queryList()->getlistobject(databrowse::Querylist::f::queries, false);
    ASSERT_TRUE(queries && queries->size() == 1u);
    EXPECT_EQ(queries->front().getint64(databrowse::Query::f::type), 0);
    EXPECT_EQ(criterionValues(queries->front(), 1),
              std::vector<std::string>{"\\MB\\" + apps_.ownerGuid + "\\**\\*"});
}

// The path utilities' edges and the Monorun criterion.
TEST(MailboxPaths, FoldersGuidsAndCriterion) {
    std::string folder;
    EXPECT_TRUE(getMbxFolderfromPath("\\MB\\{AB}", folder));
    EXPECT_EQ(folder, "\\");
    EXPECT_TRUE(getMbxFolderfromPath("\\MB\\{AB}\\Inbox\\**\\*", folder));
    EXPECT_EQ(folder, "Inbox");
    EXPECT_FALSE(getMbxFolderfromPath("\\MB\\Inbox", folder));
    std::string guid;
    EXPECT_FALSE(getMbxGUIDfromPath("\\MB", guid));
    EXPECT_TRUE(getMbxGUIDfromPath("\\MB\\{x-y}\\a", guid));
    EXPECT_EQ(guid, "{x-y}");
    EXPECT_TRUE(isMailboxLevelPath("\\MB\\{x}\\"));
    EXPECT_FALSE(isMailboxLevelPath("\\MB\\{x}\\Inbox"));

    ProbeWorker worker;
    fields(worker).queryList() = std::make_unique<databrowse::Querylist>();
    fields(worker).queryList()->setlistobject(databrowse::Querylist::f::queries,
                                              {queryOfKind(0), queryOfKind(1)});
    std::string mailbox = "{AB-CD}";
    EXPECT_TRUE(worker.handleExchangeRequest2(2, mailbox));  // full rights: nothing
    EXPECT_TRUE(worker.handleExchangeRequest2(1, mailbox));
    EXPECT_EQ(mailbox, "{ab-cd}");
    auto* queries = fields(worker).queryList()->getlistobject(databrowse::Querylist::f::queries, false);
    EXPECT_EQ(criterionValues(queries->at(0), 124), std::vector<std::string>{"ab-cd"});
    EXPECT_TRUE(criterionValues(queries->at(1), 124).empty());
}

// A stranger naming another's mailbox through the controller: refused as unauthenticated.
TEST_F(AppRoads, StrangerRefusedAtIntake) {
    auto t = task(apps_.strangerUser, "EXCH\\sam", apps_.mailboxClient, apps_.mailboxBackupSet, 54, 0, 0,
                  ("\\MB\\" + apps_.ownerGuid).c_str());
    EXPECT_FALSE(run(t.get()));
    const TAnswers a = answers();
    ASSERT_FALSE(a.errors.empty());
    EXPECT_EQ(a.errors.back().first, 3);
}

// Queries of type 3 answered from the Hubmaster database.
TEST_F(AppRoads, HubmasterMailboxQuery) {
    using M = databrowse::Msg74::f;
    auto mailboxQuery = [](int64_t kind, const std::string& userGuid, int64_t appId = 0) {
        databrowse::Query query = queryOfKind(3);
        CNMessageBase* parameters = query.getObjectAccessor(databrowse::Query::f::hubmasterParams, true);
        parameters->setint64(databrowse::Msg75::f::kind, kind);
        CNMessageBase* mailbox = parameters->getObjectAccessor(databrowse::Msg75::f::at2_2, true);
        if (!userGuid.empty()) mailbox->setstring(M::userGuid, userGuid);
        if (appId) mailbox->setint64(M::appId, appId);
        return query;
    };
    auto mailboxOf = [](CNMessageBase& query) {
        return query.getObjectAccessor(databrowse::Query::f::hubmasterParams, false)
            ->getObjectAccessor(databrowse::Msg75::f::at2_2, false);
    };
    ProbeWorker worker;
    CBrowseLog log("FBHMWORKER");
    databrowse::Query owner = mailboxQuery(0, apps_.ownerGuid);
    ASSERT_TRUE(worker.processHubmasterQuery(owner, &log));
    EXPECT_EQ(mailboxOf(owner)->getint64(M::appId), apps_.mailboxSubclient);
    EXPECT_EQ(mailboxOf(owner)->getint64(M::quotaLimit), apps_.quotaLimit);
    EXPECT_EQ(mailboxOf(owner)->getint64(M::usageValue), apps_.ownerMailboxSize);

    // Each failure leaves the query as it was.
    for (databrowse::Query query : {mailboxQuery(1, apps_.ownerGuid), mailboxQuery(0, ""),
                                    mailboxQuery(0, "{00000000-0000-0000-0000-000000000000}"),
                                    mailboxQuery(0, apps_.ownerGuid, apps_.monorunSubclient),
                                    // the stranger's subclient has no quota limit: an invalid answer
                                    mailboxQuery(0, apps_.strangerGuid)}) {
        std::string before, after;
        query.serialize(before);
        EXPECT_FALSE(worker.processHubmasterQuery(query, &log)) << before;
        query.serialize(after);
        EXPECT_EQ(before, after);
    }
}
