// The router's direct road after the preparation, over loopback on the demo world: the token step and
// the one reply on the caller's connection (prepared request or error), the release of the session's
// record, end-user erase bookkeeping only after authentication, the erase task launch through the task
// manager's task store, and multi-client find (plain or signed by the caller's service pack).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/multiclientfindproc.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/msg/agentflag.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_server.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/taskmgr/evtaskmgr.h"
#include "platform/tasks/erasebookings.h"
#include "service/browserouterthread.h"
#include "service/enduserErase.h"
#include "service/failurefallback.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerbrowserequest.h"
#include "tests/platform/db/tempdir.h"
#include "tests/service/routerworld.h"
#include "tests/support/log/processlogdir.h"
#include "tests/support/sqlite/testsql.h"

namespace {

using namespace std::chrono_literals;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

const char* const kTokenRejected = "Error: Failed to authenticate the usertoken...";
// The code of a reply that refuses the caller (its token, its right to act, the clients it names).
constexpr int64_t kRefusal = databrowse::BROWSE_ERR_PERMISSION;

class DirectRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A log of this run alone: lines of an earlier run must not answer logHas.
        hubtest::processLogDir();
        s = new TShared;
        ASSERT_NO_FATAL_FAILURE(routertest::startRouterWorld(s->dir, s->world, s->routerHost));
        ASSERT_TRUE(ZYPlatformInfo::setString(I2::SecuredMessageHandler::kKeySection,
                                              I2::SecuredMessageHandler::kKeyName,
                                              "direct-run-test-signing-key-0123456789"));
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(s->world.adminUser, false, 3600, s->adminToken), 0);
        sql("INSERT INTO APP_SubclientUsage (subclientId, usedBytes) VALUES (" +
            std::to_string(s->world.fileSubclient) + ", 100000)");
        setPreparedTaskObserver([](const TDirectTask& t) {
            std::lock_guard<std::mutex> lock(s->lock);
            s->lastWorker = t.worker->getWorkerId();
        });
    }
    static void TearDownTestSuite() {
        // Every refused or failed run told its caller why.
        EXPECT_EQ(failurefallback::count(), 0u) << "a failure was answered with the generic text";
        setPreparedTaskObserver(nullptr);
        fastBrowseHMCleanUp();
        delete s;
        s = nullptr;
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    static databrowse::BrowseRequest fileRequest(int64_t op, const std::string& guid) {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, op);
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, guid);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setstring(E::clientName, "client1");
        e->setint64(E::subclientId, s->world.fileSubclient);
        databrowse::BrowsePath root;
        root.setstring(databrowse::BrowsePath::f::path, "\\");
        r.setlistobject(R::paths, {root});
        return r;
    }

    // Sends `message` as client `caller`; the one reply (null when none came).
    static std::unique_ptr<CNMessageBase> exchange(CNMessageBase& message, const char* caller = "client1") {
        CZyNetwork peer;
        bool timedOut = false;
        EXPECT_FALSE(
            peer.Connect(s->routerHost.c_str(), CBrowseRouterThreadHM::kServerName, caller, 10, timedOut)
                .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(message, 0, 10, timedOut).IsError());
        // Warnings (type 4) come before the one reply; their texts are kept in `warnings`.
        warnings.clear();
        for (;;) {
            CNMessageBase* reply = nullptr;
            ignoreResult(peer.ReceiveXMLMessage(nullptr, reply, nullptr, 0, 60, timedOut),
                         "the reply is checked next");
            std::unique_ptr<CNMessageBase> owned(reply);
            if (!owned || owned->getTagID() != databrowse::BrowseResponse::TAG ||
                owned->getint64(databrowse::BrowseResponse::f::respType) != 4)
                return owned;
            for (CNMessageBase& m : *owned->getlistobject(databrowse::BrowseResponse::f::messages, true))
                warnings.push_back(m.getstring(databrowse::BrowseError::f::errorMessage));
        }
    }
    static inline std::vector<std::string> warnings;
    // The error text of an error reply (type 3, one error of `code`: 1, or 3 for a refusal of the
    // caller); "" for any other reply.
    static std::string errorOf(const std::unique_ptr<CNMessageBase>& reply, int64_t code = 1) {
        if (!reply || reply->getTagID() != databrowse::BrowseResponse::TAG) return "";
        EXPECT_EQ(reply->getint64(databrowse::BrowseResponse::f::respType), 3);
        auto* errors = reply->getlistobject(databrowse::BrowseResponse::f::messages, false);
        if (!errors || errors->size() != 1u) return "";
        EXPECT_EQ(errors->front().getint64(databrowse::BrowseError::f::errorCode), code);
        return errors->front().getstring(databrowse::BrowseError::f::errorMessage);
    }
    static std::string lastWorker() {
        std::lock_guard<std::mutex> lock(s->lock);
        return s->lastWorker;
    }
    static bool logHas(const std::string& text) {
        std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
        for (std::string line; std::getline(in, line);)
            if (line.find(text) != std::string::npos) return true;
        if (g_pLogInstance) {
            std::ifstream own(g_pLogInstance->filePath());
            for (std::string line; std::getline(own, line);)
                if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // No record of the session lists any worker (a record, if any, is only the cache's).
    static bool recordListsNoWorker(const std::string& guid) {
        CConfRecordRef record = g_poConfMgr->holdConfRec(guid);
        return !record || record->getWorkersToMaMap().empty();
    }

    static void sql(const std::string& statement) {
        EXPECT_EQ(hubtest::execSql(s->world.databasePath, statement), "");
    }
    static long long sqlInt(const std::string& query) {
        return hubtest::queryInt(s->world.databasePath, query);
    }
    static long long subclientUsage() {
        return sqlInt("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " +
                      std::to_string(s->world.fileSubclient));
    }
    static long long erasePending() {
        return sqlInt("SELECT COUNT(*) FROM APP_SubClientProp WHERE componentNameId = " +
                      std::to_string(s->world.fileSubclient) + " AND attrName = 'EndUser Erase Pending'");
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string routerHost, adminToken;
        std::mutex lock;
        std::string lastWorker;  // guarded by lock
    };
    static TShared* s;
};
DirectRun::TShared* DirectRun::s = nullptr;

TEST_F(DirectRun, ValidTokenGetsThePreparedRequestAndTheRecordIsReleased) {
    databrowse::BrowseRequest r = fileRequest(1, "run-valid");
    r.setstring(R::token, s->adminToken);
    std::unique_ptr<CNMessageBase> reply = exchange(r);
    ASSERT_TRUE(reply);
    EXPECT_EQ(errorOf(reply), "");
    // The request prepared for the media agent, in the form its release takes.
    EXPECT_TRUE(reply->getTagID() == databrowse::BrowseRequest::TAG ||
                reply->getTagID() == databrowse::SecuredBrowseRequest::TAG ||
                reply->getTagID() == Indexing::BrowseReq::TAG)
        << reply->AsString();
    std::string prepared;
    ASSERT_EQ(reply->serialize(prepared), 0);
    EXPECT_EQ(prepared.find(s->adminToken), std::string::npos) << "the token went on to the media agent";
    EXPECT_TRUE(recordListsNoWorker("run-valid"));
    EXPECT_TRUE(logHas("START - browse request with worker id [" + lastWorker() + "]"));
    EXPECT_FALSE(logHas(s->adminToken)) << "a token reached the log";
}

TEST_F(DirectRun, RejectedTokenAnswersTheAuthenticationErrorWithoutRunning) {
    databrowse::BrowseRequest r = fileRequest(1, "run-bad-token");
    r.setstring(R::token, "ZT1.not-a-token.at-all");
    EXPECT_EQ(errorOf(exchange(r), kRefusal), kTokenRejected);
    EXPECT_FALSE(logHas("START - browse request with worker id [" + lastWorker() + "]"));
    EXPECT_TRUE(recordListsNoWorker("run-bad-token"));
}

TEST_F(DirectRun, UnknownCallerClientAndRecordedErrorsOverrideThePreparedRequest) {
    databrowse::BrowseRequest r = fileRequest(1, "run-stranger");
    r.setstring(R::token, s->adminToken);
    // A peer that is no known client acts only with a user's token.
    EXPECT_EQ(errorOf(exchange(r, "no-such-client")), "");
    databrowse::BrowseRequest anonymous = fileRequest(1, "run-stranger-2");
    EXPECT_EQ(errorOf(exchange(anonymous, "no-such-client"), kRefusal),
              "Error: Failed to get client id for authorization");

    databrowse::BrowseRequest mixed = fileRequest(1, "run-mixed");
    mixed.setstring(R::token, s->adminToken);
    databrowse::BrowsePath byGuid;
    byGuid.getObjectAccessor(databrowse::BrowsePath::f::guidRef, true)
        ->setstring(databrowse::BrowsePathGuid::f::guid, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    mixed.getlistobject(R::paths, true)->push_back(byGuid);
    EXPECT_EQ(errorOf(exchange(mixed)), "Error: Mixed Browse By Path abd Browse by GUID is not supported...");
    EXPECT_TRUE(recordListsNoWorker("run-mixed"));
}

TEST_F(DirectRun, EraseBookkeepingOnlyAfterAuthentication) {
    auto erase = [](const std::string& guid, long long size) {
        databrowse::BrowseRequest r = fileRequest(7, guid);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setint64(E::clientId, s->world.fileClient);
        e->setint64(E::backupsetId, s->world.fileBackupSet);
        e->setint64(E::applicationId, s->world.fileAppType);
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\data\\report.txt");
        CNMessageBase* detail = path.getObjectAccessor(databrowse::BrowsePath::f::detail, true);
        detail->setint64(databrowse::Msg2::f::subclientId, s->world.fileSubclient);
        detail->setint64(databrowse::Msg2::f::itemSize, size);
        r.setlistobject(R::paths, {path});
        // One cycle of the demo's backups: the worker prepares the request without asking a media agent.
        r.getObjectAccessor(R::timeRange, true)->setint64(databrowse::BrowseTimeRange::f::toTime, 1701129600);
        return r;
    };
    const long long before = subclientUsage();
    ASSERT_EQ(before, 100000);

    // Refused before authentication: nothing changes.
    databrowse::BrowseRequest refused = erase("erase-refused", 4000);
    refused.setstring(R::token, "ZT1.forged.token");
    EXPECT_EQ(errorOf(exchange(refused), kRefusal), kTokenRejected);
    EXPECT_EQ(subclientUsage(), before);
    EXPECT_EQ(erasePending(), 0);
    // Without a token the user entity makes it act as another user: a client other than the browsed
    // one, not allowed by the client map, is refused as well.
    databrowse::BrowseRequest asUser = erase("erase-as-user", 4000);
    asUser.getObjectAccessor(R::caller, true)
        ->getObjectAccessor(ZyEntities::Msg74::f::user, true)
        ->setint64(ZyEntities::UserEntity::f::userId, s->world.fileUser);
    EXPECT_EQ(errorOf(exchange(asUser, "client2"), kRefusal),
              "Error: Failed to authenticate the caller to act as the requested user...");
    EXPECT_EQ(subclientUsage(), before);

    // Authenticated, but the worker refuses a user without the delete capability: nothing changes.
    databrowse::BrowseRequest noCapability = erase("erase-no-capability", 4000);
    noCapability.setstring(R::token, s->adminToken);
    const std::unique_ptr<CNMessageBase> refusal = exchange(noCapability);
    ASSERT_TRUE(refusal);
    auto* refusals = refusal->getlistobject(databrowse::BrowseResponse::f::messages, false);
    ASSERT_TRUE(refusals && refusals->size() == 1u);
    EXPECT_EQ(refusals->front().getstring(databrowse::BrowseError::f::errorMessage),
              "You do not have the capability required to delete data.");
    EXPECT_EQ(subclientUsage(), before);
    EXPECT_EQ(erasePending(), 0);

    // Accepted: the size comes off and the erase is pending. The worker makes sure it can reach the
    // media agent's index service before it answers with the prepared request.
    auto agent = CZydListener::create();
    ASSERT_FALSE(agent->start(0).IsError());
    CZyNetworkServer indexService(
        nullptr,
        [](CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long, CNMessageBase* message) {
            delete message;
        },
        "IndexingService_0", agent);
    std::thread serving([&] {
        ignoreResult(indexService.SelectData(0, 0, 0), "it serves until Quit; how it ended has no reader");
    });
    sql("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = " + std::to_string(agent->port()) +
        " WHERE name = 'mediaagent1'");
    sql("INSERT INTO SECUserRight (userId, permissionId) VALUES (" + std::to_string(s->world.adminUser) +
        ", 219)");
    databrowse::BrowseRequest allowed = erase("erase-allowed", 4000);
    allowed.setstring(R::token, s->adminToken);
    const size_t booked = CEraseBookings::instance().size();
    EXPECT_EQ(errorOf(exchange(allowed)), "");
    // Listed and booked; the usage drops only with the erase task, by the sizes its caller gives.
    EXPECT_EQ(CEraseBookings::instance().size(), booked + 1);
    EXPECT_EQ(subclientUsage(), before);
    EXPECT_EQ(erasePending(), 0);
    EXPECT_EQ(fastBrowseHMLaunchEraseCreateTask(&allowed), 0);
    EXPECT_EQ(subclientUsage(), before - 4000);
    EXPECT_EQ(erasePending(), 1);
    sql("DELETE FROM TM_CreatedSubTaskPath; DELETE FROM TM_CreatedSubTask; DELETE FROM TM_CreatedTaskEntity; "
        "DELETE FROM TM_CreatedTask");
    sql("DELETE FROM SECUserRight WHERE permissionId = 219 AND userId = " +
        std::to_string(s->world.adminUser));
    sql("UPDATE APP_Client SET net_hostname = 'mediaagent1', zydPort = 8400 WHERE name = 'mediaagent1'");
    EXPECT_FALSE(indexService.Quit(true, true).IsError());
    serving.join();
    agent->stop();
}

TEST_F(DirectRun, FileSystemEraseSumsPerSubclientAndSkipsBadPaths) {
    CBrowseLog log("test");
    databrowse::BrowseRequest r = fileRequest(7, "erase-direct");
    CNMessageBase* e = r.getObjectAccessor(R::entity, true);
    const long long other =
        sqlInt("SELECT id FROM APP_Application WHERE clientId = " + std::to_string(s->world.otherFileClient) +
               " LIMIT 1");
    e->setint64(E::clientId, s->world.otherFileClient);
    e->setint64(E::subclientId, other);
    e->setint64(E::backupsetId,
                sqlInt("SELECT backupSet FROM APP_Application WHERE id = " + std::to_string(other)));
    e->setint64(E::applicationId, s->world.fileAppType);
    sql("INSERT OR REPLACE INTO APP_SubclientUsage (subclientId, usedBytes) VALUES (" +
        std::to_string(s->world.fileSubclient) + ", 70)");
    sql("INSERT INTO APP_SubclientUsage (subclientId, usedBytes) VALUES (" + std::to_string(other) + ", 50)");
    std::vector<CNMessageBase> paths;
    for (long long size : {30LL, 5LL, -7LL, 0LL}) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\f" + std::to_string(size));
        CNMessageBase* detail = path.getObjectAccessor(databrowse::BrowsePath::f::detail, true);
        detail->setint64(databrowse::Msg2::f::subclientId, other);
        detail->setint64(databrowse::Msg2::f::itemSize, size);
        paths.push_back(path);
    }
    databrowse::BrowsePath noSubclient;
    noSubclient.setstring(databrowse::BrowsePath::f::path, "\\nosubclient");
    paths.push_back(noSubclient);
    // A path that claims a subclient of another entity is not booked against it.
    databrowse::BrowsePath foreign;
    foreign.setstring(databrowse::BrowsePath::f::path, "\\foreign");
    CNMessageBase* claim = foreign.getObjectAccessor(databrowse::BrowsePath::f::detail, true);
    claim->setint64(databrowse::Msg2::f::subclientId, s->world.fileSubclient);
    claim->setint64(databrowse::Msg2::f::itemSize, 60);
    paths.push_back(foreign);
    r.setlistobject(R::paths, paths);
    ProcessFSEndUserErase(&r, &log);
    // 30 + 5 taken off; the negative size and the path without subclient are skipped; never below 0.
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " + std::to_string(other)),
              15);
    ProcessFSEndUserErase(&r, &log);
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " + std::to_string(other)),
              0);
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " +
                     std::to_string(s->world.fileSubclient)),
              70);

    // Sizes whose sum does not fit reduce nothing (and do not overflow).
    sql("UPDATE APP_SubclientUsage SET usedBytes = 50 WHERE subclientId = " + std::to_string(other));
    for (CNMessageBase& p : paths)
        if (CNMessageBase* detail = p.getObjectAccessor(databrowse::BrowsePath::f::detail, false))
            detail->setint64(databrowse::Msg2::f::itemSize, INT64_MAX);
    r.setlistobject(R::paths, paths);
    ProcessFSEndUserErase(&r, &log);
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_SubclientUsage WHERE subclientId = " + std::to_string(other)),
              50);

    // A mailbox erase sums per mailbox GUID, in one message.
    databrowse::BrowseRequest mail = fileRequest(7, "erase-mail");
    std::vector<CNMessageBase> mailPaths;
    for (const char* p : {"/MB/AAA/inbox/1", "/MB/AAA/inbox/2", "/MB/BBB/sent/1", "/MB/AAA/negative"}) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, p);
        path.getObjectAccessor(databrowse::BrowsePath::f::detail, true)
            ->setint64(databrowse::Msg2::f::itemSize,
                       std::string(p).find("negative") == std::string::npos ? 10 : -50);
        mailPaths.push_back(path);
    }
    mail.setlistobject(R::paths, mailPaths);
    sql("INSERT INTO APP_MailboxUsage (subclientId, mailboxGuid, usedBytes) VALUES (" +
        std::to_string(s->world.fileSubclient) + ", 'AAA', 100)");
    ProcessMailboxEndUserErase(&mail, &log);
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_MailboxUsage WHERE mailboxGuid = 'AAA'"), 80);
    EXPECT_EQ(sqlInt("SELECT usedBytes FROM APP_MailboxUsage WHERE mailboxGuid = 'BBB'"), 0);
}

TEST_F(DirectRun, EraseTaskLaunchCreatesTheTaskOrReportsTheSecurityError) {
    auto launchRequest = [] {
        databrowse::BrowseRequest r;
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setint64(E::clientId, s->world.fileClient);
        e->setint64(E::backupsetId, s->world.fileBackupSet);
        e->setint64(E::applicationId, s->world.fileAppType);
        std::vector<CNMessageBase> paths;
        for (const char* p : {"\\data\\a.txt", "\\data\\b.txt"}) {
            databrowse::BrowsePath path;
            path.setstring(databrowse::BrowsePath::f::path, p);
            paths.push_back(path);
        }
        r.setlistobject(R::paths, paths);
        return r;
    };
    sql("UPDATE NBGlobalParam SET value = '0' WHERE name = 'ZY_HM_ENABLE_FS_END_USER_ERASE'");
    databrowse::BrowseRequest disabled = launchRequest();
    EXPECT_EQ(fastBrowseHMLaunchEraseCreateTask(&disabled), -1);
    EXPECT_EQ(sqlInt("SELECT COUNT(*) FROM TM_CreatedTask"), 0);
    EXPECT_TRUE(disabled.isSet(R::timeRange));

    sql("UPDATE NBGlobalParam SET value = '1' WHERE name = 'ZY_HM_ENABLE_FS_END_USER_ERASE'");
    databrowse::BrowseRequest enabled = launchRequest();
    EXPECT_EQ(fastBrowseHMLaunchEraseCreateTask(&enabled), 0);
    EXPECT_EQ(sqlInt("SELECT COUNT(*) FROM TM_CreatedTask WHERE jobId > 0"), 1);
    EXPECT_EQ(sqlInt("SELECT clientId FROM TM_CreatedTaskEntity"), s->world.fileClient);
    EXPECT_EQ(sqlInt("SELECT operationType FROM TM_CreatedSubTask"), 4016);
    EXPECT_EQ(sqlInt("SELECT COUNT(*) FROM TM_CreatedSubTaskPath WHERE path LIKE '\\data\\%'"), 2);

    // An entity the Hubmaster does not know is refused too.
    databrowse::BrowseRequest unknown = launchRequest();
    unknown.getObjectAccessor(R::entity, true)->setint64(E::clientId, 99999);
    EXPECT_EQ(fastBrowseHMLaunchEraseCreateTask(&unknown), -1);
    EXPECT_EQ(sqlInt("SELECT COUNT(*) FROM TM_CreatedTask"), 1);

    // Another writer holding the database: for a moment, the task waits for it and is made; for longer
    // than a write waits (here a tenth of a second), it is not, and says the database was busy.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(s->world.databasePath.c_str(), &writer), SQLITE_OK);
    std::string error;
    for (const bool moment : {true, false}) {
        zydb::DbOpenOptions options;
        if (!moment) options.busyTimeoutMs = 100;
        ASSERT_EQ(zydb::CDbEnv::open(s->world.databasePath, options, &error), zydb::DB_OK) << error;
        ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        std::thread release([writer, moment] {
            std::this_thread::sleep_for(moment ? 300ms : 1s);
            sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
        });
        databrowse::BrowseRequest held = launchRequest();
        EXPECT_EQ(fastBrowseHMLaunchEraseCreateTask(&held), moment ? 0 : EvTaskMgr::kStoreBusy) << moment;
        release.join();
    }
    sqlite3_close(writer);
    ASSERT_EQ(zydb::CDbEnv::open(s->world.databasePath, {}, &error), zydb::DB_OK) << error;
    EXPECT_EQ(sqlInt("SELECT COUNT(*) FROM TM_CreatedTask"), 2);
}

TEST_F(DirectRun, MultiClientFindPlainBelowServicePack22AndSignedFrom22) {
    auto find = [](int clientId) {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, 1);
        r.setstring(R::token, s->adminToken);
        databrowse::EntityWithFilters target;
        target.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true)
            ->setint64(E::clientId, clientId);
        r.setlistobject(R::filteredEntities, {target});
        return r;
    };
    databrowse::BrowseRequest plain = find(s->world.fileClient);
    std::unique_ptr<CNMessageBase> reply = exchange(plain);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->getTagID(), databrowse::BrowseRequest::TAG) << reply->AsString();
    CNMessageBase* routing = reply->getObjectAccessor(R::indexing, false)
                                 ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false);
    EXPECT_EQ(routing->getstring(databrowse::IndexingInfo::f::mediaAgentName), "mediaagent1");
    EXPECT_EQ(routing->getstring(databrowse::IndexingInfo::f::routerName),
              CBrowseRouterThreadHM::kServerName);
    EXPECT_FALSE(routing->getstring(databrowse::IndexingInfo::f::workerId).empty());

    // From service pack 22 the caller gets the signed form, signed in the Hubmaster's name.
    sql("INSERT INTO mediaAgent (clientId, versionText, idxCacheSoftState) VALUES (" +
        std::to_string(s->world.otherFileClient) + ", '11.0 SP24', 0)");
    databrowse::BrowseRequest signedFind = find(s->world.fileClient);
    // A caller's own flag naming another agent is never signed in the Hubmaster's name.
    databrowse::AdditionalFlag callers;
    callers.setint64(databrowse::AdditionalFlag::f::flagType, 0);
    callers.setstring(databrowse::AdditionalFlag::f::flagName, browseflag::kMediaAgentName);
    callers.setstring(databrowse::AdditionalFlag::f::value, "mediaagent3");
    erasedryrun::flagsOf(signedFind, true)->push_back(callers);
    std::unique_ptr<CNMessageBase> secured = exchange(signedFind, "client2");
    ASSERT_TRUE(secured);
    ASSERT_EQ(secured->getTagID(), databrowse::SecuredBrowseRequest::TAG) << secured->AsString();
    I2::SecuredMessageHandler checker;
    databrowse::BrowseRequest opened;
    std::string hubmasterName;
    ASSERT_EQ(ZYClient(ZYClient::hubmasterClientId()).getName(hubmasterName), 0);
    ASSERT_NE(hubmasterName, "client2");
    EXPECT_EQ(checker.openSecuredBrowseRequest(*static_cast<databrowse::SecuredBrowseRequest*>(secured.get()),
                                               opened, hubmasterName),
              I2::SECURED_OK);
    // Where it goes is said in its clear, signed options, so a caller without the key reaches the agent.
    EXPECT_EQ(agentflag::of(secured->getObjectAccessor(databrowse::SecuredBrowseRequest::f::payload, false)
                                ->getObjectAccessor(databrowse::Msg238::f::advOptions, false)),
              "mediaagent1");
    size_t agentFlags = 0;
    for (const CNMessageBase& flag : *erasedryrun::flagsOf(opened, false))
        agentFlags += flag.getstring(databrowse::AdditionalFlag::f::flagName) == browseflag::kMediaAgentName;
    EXPECT_EQ(agentFlags, 1u) << opened.AsString();

    // Nothing to find, and a caller without token naming a user is refused.
    databrowse::BrowseRequest nothing = find(s->world.hypervisor + 100000);
    EXPECT_EQ(errorOf(exchange(nothing)), "Nothing to Find");
    databrowse::BrowseRequest anonymous = find(s->world.fileClient);
    anonymous.setstring(R::token, "");
    anonymous.setstring(R::userName, "alice");
    EXPECT_EQ(errorOf(exchange(anonymous, "no-such-client"), kRefusal)
                  .rfind("Error: Failed to authenticate the usertoken", 0),
              0u);
}

TEST_F(DirectRun, MultiClientFindKeepsToTheSubclientsTheUserMayBrowse) {
    // A find across client1 and client2 as `userId`: the subclients of the index database the prepared
    // request names ("1,5"), or the error text.
    auto findAs = [](int userId, const std::string& guid,
                     const std::vector<const char*>& clients = {"client1", "client2"}) {
        std::string token;
        EXPECT_EQ(EvSecurityMgr::IssueZetaToken(userId, false, 3600, token), 0);
        databrowse::BrowseRequest r;
        r.setint64(R::opType, 1);
        r.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, guid);
        r.setstring(R::token, token);
        std::vector<CNMessageBase> targets;
        for (const char* client : clients) {
            databrowse::EntityWithFilters target;
            target.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true)
                ->setstring(E::clientName, client);
            targets.push_back(target);
        }
        r.setlistobject(R::filteredEntities, targets);
        std::unique_ptr<CNMessageBase> reply = exchange(r);
        if (!reply || reply->getTagID() != databrowse::BrowseRequest::TAG) return errorOf(reply, kRefusal);
        CNMessageBase* routing = reply->getObjectAccessor(R::indexing, false)
                                     ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false);
        EXPECT_EQ(routing->getstring(databrowse::IndexingInfo::f::mediaAgentName), "mediaagent1");
        std::string ids;
        for (CNMessageBase& sub : *routing->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, false)
                                       ->getlistobject(databrowse::IndexDBInfo::f::subclients, false))
            ids +=
                (ids.empty() ? "" : ",") + std::to_string(sub.getint64(databrowse::SubclientInfo::f::appId));
        return ids;
    };
    const std::string mine = std::to_string(s->world.fileSubclient);
    const std::string other = std::to_string(sqlInt("SELECT MIN(id) FROM APP_Application WHERE clientId = " +
                                                    std::to_string(s->world.otherFileClient)));
    // The administrator browses everything; alice holds Browse on client1 only; vmowner on neither.
    EXPECT_EQ(findAs(s->world.adminUser, "mcf-admin"), mine + "," + other);
    EXPECT_EQ(findAs(s->world.fileUser, "mcf-alice"), mine);
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "You are not authorised to browse client [client2]; it is not searched"});
    // Naming only clients the user may not browse is a refusal, not an empty find.
    EXPECT_EQ(findAs(s->world.vmBrowse.vmUser, "mcf-vmowner"),
              "Browse access denied: you are not authorised to browse any client of this find");
    EXPECT_EQ(warnings.size(), 2u);

    // A grant of client2's subclient covers it only under this Hubmaster's Kelmarch.
    sql("INSERT INTO SECUserRight (userId, permissionId, kelmarchId, clientId, appTypeId, instanceId, "
        "backupSetId, subclientId) VALUES (" +
        std::to_string(s->world.fileUser) + ", 1, " + std::to_string(hubdb::kDefaultKelmarchId + 1) +
        ", 0, 0, 0, 0, " + other + ")");
    EXPECT_EQ(findAs(s->world.fileUser, "mcf-alice2"), mine);
    sql("UPDATE SECUserRight SET kelmarchId = " + std::to_string(hubdb::kDefaultKelmarchId) +
        " WHERE subclientId = " + other);
    EXPECT_EQ(findAs(s->world.fileUser, "mcf-alice3"), mine + "," + other);
    sql("DELETE FROM SECUserRight WHERE subclientId = " + other);

    // Where a client's backups lie, asked of the procedure for it alone, could not be told: the find
    // says that client was not searched, never that it has no backup.
    App_ExecuteSP::registerProcedure(databrowse::BrowseRequest::TAG, "AppMultiClientFind",
                                     [](const std::string& in, std::string& out, void* context) {
                                         if (in.find("client1") == std::string::npos) return -1;
                                         return hubdb::multiClientFindTagProc(in, out, context);
                                     });
    EXPECT_EQ(findAs(s->world.adminUser, "mcf-untold", {"client1", "client3"}), mine);
    App_ExecuteSP::registerProcedure(databrowse::BrowseRequest::TAG, "AppMultiClientFind",
                                     hubdb::multiClientFindTagProc);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(
        warnings.front().find("of client [client3] is not searched: where its backups lie could not be told"),
        std::string::npos)
        << warnings.front();
}

// A run the worker fails answers the caller with the worker's own code and reason, never the generic
// text, and leaves the session's record.
TEST_F(DirectRun, FailedRunAnswersWithTheWorkersReason) {
    databrowse::BrowseRequest r = fileRequest(1, "run-backup-copy");
    r.setstring(R::token, s->adminToken);
    r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::viewBackupCopy, 1);
    std::unique_ptr<CNMessageBase> reply = exchange(r);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->getTagID(), databrowse::BrowseResponse::TAG) << reply->AsString();
    EXPECT_EQ(reply->getint64(databrowse::BrowseResponse::f::respType), 3);
    auto* errors = reply->getlistobject(databrowse::BrowseResponse::f::messages, false);
    ASSERT_TRUE(errors && errors->size() == 1u) << reply->AsString();
    EXPECT_EQ(errors->front().getint64(databrowse::BrowseError::f::errorCode),
              databrowse::BROWSE_ERR_NO_BACKUP_COPY_JOB);
    const std::string text = errors->front().getstring(databrowse::BrowseError::f::errorMessage);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find(failurefallback::kText), std::string::npos) << text;
    EXPECT_TRUE(recordListsNoWorker("run-backup-copy"));
}

}  // namespace
