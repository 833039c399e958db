// The router's direct road up to the run, over loopback: a client sends databrowse::BrowseRequests to
// "BrowseRouter" of the service started on the demo world; what each prepared task holds is recorded
// through the preparation's seam, and every refusal is read back as the one error reply it gets.
#include "service/routerbrowserequest.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/security/zetatoken.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "service/routeroptions.h"
#include "tests/platform/db/tempdir.h"
#include "tests/service/routerworld.h"

namespace {

using namespace std::chrono_literals;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

// What a prepared task held, copied while the seam is called.
struct TSeen {
    int clientId = 0, appType = 0, backupSetId = 0, subclientId = 0, opType = -1;
    unsigned long long flags = 0;
    std::string options, recordedError, guid;
    long copyPrecedence = 0, toTime = 0, fromTime = 0;
    int64_t requestPrecedence = 0;
    bool guidLookup = false;
    unsigned long emFunction = 0;
};

class RouterDirectRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_NO_FATAL_FAILURE(routertest::startRouterWorld(s->dir, s->world, s->routerHost));
        setPreparedTaskObserver([](const TDirectTask& t) {
            TSeen seen;
            seen.clientId = t.clientId;
            seen.appType = static_cast<int>(apptype::code(t.appType));
            seen.backupSetId = t.backupSetId;
            seen.subclientId = t.subclientId;
            seen.opType = t.task->getBrowseOpType();
            seen.flags = t.browseFlags;
            seen.options = t.extendedOptions;
            seen.recordedError = t.replyError.getstring(databrowse::BrowseError::f::errorMessage);
            seen.guid = t.task->getbrowseSessionGUID();
            seen.copyPrecedence = static_cast<long>(t.task->getArchGroupCopyPrecedence());
            seen.toTime = t.task->getToTime();
            seen.fromTime = t.task->getFromTime();
            const CNMessageBase* adv =
                t.request.isSet(R::advOptions)
                    ? const_cast<databrowse::BrowseRequest&>(t.request).getObjectAccessor(R::advOptions,
                                                                                          false)
                    : nullptr;
            seen.requestPrecedence = adv ? adv->getint64(databrowse::Msg63::f::copyPrecedence) : 0;
            seen.guidLookup = t.worker->getIsGuidLookup();
            seen.emFunction = t.task->getEmFunction();
            {
                std::lock_guard<std::mutex> lock(s->lock);
                s->seen = seen;
            }
            s->changed.notify_all();
        });
    }
    static void TearDownTestSuite() {
        setPreparedTaskObserver(nullptr);
        fastBrowseHMCleanUp();
        delete s;
        s = nullptr;
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }

    static databrowse::BrowseRequest request(int64_t op, const std::string& guid = "road-session") {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, op);
        databrowse::BrowseSession session;
        session.setstring(databrowse::BrowseSession::f::sessionId, guid);
        r.setObjectAccessor(session, R::session);
        return r;
    }
    static CNMessageBase* entity(databrowse::BrowseRequest& r) {
        return r.getObjectAccessor(R::entity, true);
    }
    static CNMessageBase* options(databrowse::BrowseRequest& r) {
        return r.getObjectAccessor(R::options, true);
    }
    static CNMessageBase* selection(databrowse::BrowseRequest& r) {
        return r.getObjectAccessor(R::advOptions, true)
            ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    }
    // The request as `user`'s (the administrator unless named), by a valid token.
    static void asUser(databrowse::BrowseRequest& r, int user = 0) {
        std::string key, token;
        ASSERT_TRUE(CZetaToken::signingKey(key));
        TZetaTokenClaims claims;
        claims.userId = user ? user : s->world.adminUser;
        claims.issuedAt = std::time(nullptr);
        claims.expiresAt = claims.issuedAt + 3600;
        ASSERT_EQ(CZetaToken::issue(key, claims, token), CZetaToken::kValid);
        r.setstring(R::token, token);
    }
    static databrowse::BrowseRequest fileRequest(int64_t op) {
        databrowse::BrowseRequest r = request(op);
        entity(r)->setstring(E::clientName, "client1");
        entity(r)->setint64(E::subclientId, s->world.fileSubclient);
        return r;
    }

    // Sends one request; the one reply's error text, or nullopt when none came within `wait`.
    static std::optional<std::string> exchange(CNMessageBase& message, std::chrono::seconds wait = 20s,
                                               int64_t code = databrowse::BROWSE_ERR_GENERIC) {
        {
            std::lock_guard<std::mutex> lock(s->lock);
            s->seen.reset();
        }
        CZyNetwork peer;
        bool timedOut = false;
        EXPECT_FALSE(
            peer.Connect(s->routerHost.c_str(), CBrowseRouterThreadHM::kServerName, nullptr, 10, timedOut)
                .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(message, 0, 10, timedOut).IsError());
        CNMessageBase* reply = nullptr;
        ignoreResult(
            peer.ReceiveXMLMessage(nullptr, reply, nullptr, 0, static_cast<int>(wait.count()), timedOut),
            "the reply is checked next");
        std::unique_ptr<CNMessageBase> owned(reply);
        if (!owned) return std::nullopt;
        EXPECT_EQ(owned->getint64(databrowse::BrowseResponse::f::respType), 3);
        auto* errors = owned->getlistobject(databrowse::BrowseResponse::f::messages, false);
        EXPECT_TRUE(errors && errors->size() == 1u);
        if (!errors || errors->empty()) return std::string();
        EXPECT_EQ(errors->front().getint64(databrowse::BrowseError::f::errorCode), code);
        return errors->front().getstring(databrowse::BrowseError::f::errorMessage);
    }
    // Sends a request that must be prepared; what the task held (whatever the run then answers).
    static TSeen prepared(CNMessageBase& message) {
        {
            std::lock_guard<std::mutex> lock(s->lock);
            s->seen.reset();
        }
        CZyNetwork peer;
        bool timedOut = false;
        EXPECT_FALSE(
            peer.Connect(s->routerHost.c_str(), CBrowseRouterThreadHM::kServerName, nullptr, 10, timedOut)
                .IsError());
        EXPECT_FALSE(peer.SendXMLMessage(message, 0, 10, timedOut).IsError());
        std::unique_lock<std::mutex> lock(s->lock);
        if (s->changed.wait_for(lock, 20s, [] { return s->seen.has_value(); })) return *s->seen;
        ADD_FAILURE() << "the request was not prepared";
        return TSeen{};
    }
    static void sql(const std::string& statement) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(s->world.databasePath.c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    static long long sqlInt(const std::string& query) {
        sqlite3* db = nullptr;
        sqlite3_stmt* st = nullptr;
        long long v = -1;
        if (sqlite3_open(s->world.databasePath.c_str(), &db) == SQLITE_OK &&
            sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
            sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return v;
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string routerHost;
        std::mutex lock;
        std::optional<TSeen> seen;        // guarded by lock
        std::condition_variable changed;  // seen was set
    };
    static TShared* s;
};
RouterDirectRoad::TShared* RouterDirectRoad::s = nullptr;

TEST_F(RouterDirectRoad, NamesResolvedToIdsAndTheTaskPrepared) {
    databrowse::BrowseRequest r = request(1);
    entity(r)->setstring(E::clientName, "client1");
    entity(r)->setint64(E::subclientId, s->world.fileSubclient);
    const TSeen seen = prepared(r);
    EXPECT_EQ(seen.clientId, s->world.fileClient);
    EXPECT_EQ(seen.backupSetId, s->world.fileBackupSet);
    EXPECT_EQ(seen.appType, s->world.fileAppType);
    EXPECT_EQ(seen.opType, 1);
    EXPECT_EQ(seen.flags & 0x3, 0x3u);
    EXPECT_EQ(seen.guid, "road-session");
    EXPECT_TRUE(seen.recordedError.empty());

    // A backup-set GUID alone gives the backup set and its client.
    databrowse::BrowseRequest byGuid = request(0);
    entity(byGuid)->setstring(E::backupsetGUID, s->world.vsa.backupSetGuid);
    EXPECT_EQ(prepared(byGuid).clientId, s->world.vsa.client);
    // Text that is no GUID names no backup set: refused as one not known (as such to the administrator,
    // who may see every client), never browsed as something else.
    databrowse::BrowseRequest notGuid = request(0);
    entity(notGuid)->setstring(E::backupsetGUID, "x' or '1'='1");
    asUser(notGuid);
    EXPECT_EQ(exchange(notGuid).value_or(""), "Backup set [x' or '1'='1] is not known");
}

// The router's own worker is the service's: it ages, and waits for its media agent, on the controller's
// clock, as the controller's workers do.
TEST_F(RouterDirectRoad, TheRoutersWorkerTakesTheControllersClock) {
    CHubManualClock clock;
    clock.advance(std::chrono::hours(1000));
    CControllerThreadHM::TOptions options;
    options.stopEventName = "router-worker-clock-test";
    auto controller = std::make_unique<CControllerThreadHM>(options, clock);
    CControllerThreadHM* const served = std::exchange(g_poControllerThreadHM, controller.get());
    databrowse::BrowseRequest r = request(0);
    entity(r)->setstring(E::clientName, "client1");
    entity(r)->setint64(E::subclientId, s->world.fileSubclient);
    zydb::CRequestReads reads;
    TRoutedBrowse routed = routeBrowseRequest(&reads, r, nullptr);
    g_poControllerThreadHM = served;
    ASSERT_EQ(routed.outcome, ERoutedOutcome::kPrepared) << routed.errorText;
    EXPECT_EQ(routed.prepared->worker->ageingNow(), clock.steadyNow());
    EXPECT_NE(routed.prepared->worker->ageingNow(), CHubClock::real().steadyNow());
}

TEST_F(RouterDirectRoad, OptionsTableRowByRow) {
    // Each option the caller may set, with what it must switch on: an extended-option position, a
    // browse flag, or both absent for values that change nothing.
    enum class Where { kOptions, kSelection, kNasMount };
    struct TExpected {
        Where where;
        int element;
        int64_t value;
        int position;  // -1: none
        unsigned long long flag;
    };
    const TExpected rows[] = {
        {Where::kSelection, 18, 1, 111, 0},
        {Where::kNasMount, 10, 1, 110, 0},
        {Where::kOptions, 1, 1, -1, 0x10},
        {Where::kOptions, 2, 1, -1, 0x8000000000ULL},
        {Where::kOptions, 6, 1, 81, 0},
        {Where::kOptions, 9, 1, 86, 0},
        {Where::kOptions, 10, 1, 88, 0},
        {Where::kOptions, 47, 1, 108, 0},
        {Where::kOptions, 11, 1, 90, 0},
        {Where::kOptions, 22, 1, 99, 0},
        {Where::kOptions, 13, 1, 91, 0},
        {Where::kOptions, 8, 1, 80, 0},
        {Where::kOptions, 7, 1, -1, 0x4000000000000ULL},
        {Where::kOptions, 16, 1, 92, 0},
        {Where::kOptions, 18, 2, 93, 0},
        {Where::kOptions, 18, 1, 94, 0},
        {Where::kOptions, 20, 1, 95, 0},
        {Where::kOptions, 25, 1, 100, 0},
        {Where::kOptions, 26, 1, 101, 0},
        {Where::kOptions, 24, 1, 98, 0},
        {Where::kOptions, 27, 1, 102, 0},
        {Where::kOptions, 35, 1, 103, 0},
        {Where::kOptions, 41, 1, 104, 0},
        {Where::kOptions, 70, 1, 112, 0},
        {Where::kSelection, 14, 1, 106, 0},
        {Where::kSelection, 14, 2, 107, 0},
    };
    // The positions the rows own, and the from-time choice every options record makes (60 here).
    std::set<int> owned;
    for (const TExpected& row : rows)
        if (row.position >= 0) owned.insert(row.position);
    for (const TExpected& row : rows) {
        databrowse::BrowseRequest r = fileRequest(0);
        const short element = static_cast<short>(row.element);
        const uint32_t code =
            msgNameCode(("at" + std::to_string(element) + "_" + std::to_string(element)).c_str());
        switch (row.where) {
            case Where::kOptions:
                if (element == 47)
                    options(r)->setint64(databrowse::BrowseOptions::f::tableView, row.value);
                else
                    options(r)->setint64(element, element, row.value, databrowse::BrowseOptions::TAG, code);
                break;
            case Where::kSelection:
                if (element == 14)
                    selection(r)->setint64(databrowse::BrowseAdvancedConfig::f::forceProtocol, row.value);
                else
                    selection(r)->setint64(databrowse::BrowseAdvancedConfig::f::at18_18, row.value);
                break;
            case Where::kNasMount:
                selection(r)
                    ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::at5_5, true)
                    ->getObjectAccessor(databrowse::Msg38::f::at3_3, true)
                    ->setint64(databrowse::Msg35::f::at10_10, row.value);
                break;
        }
        const TSeen seen = prepared(r);
        SCOPED_TRACE("element " + std::to_string(element) + " value " + std::to_string(row.value));
        for (int position : owned) {
            EXPECT_EQ(seen.options[position], position == row.position ? '1' : '0')
                << "position " << position;
        }
        const unsigned long long rowFlags = 0x10 | 0x8000000000ULL | 0x4000000000000ULL;
        EXPECT_EQ(seen.flags & rowFlags, row.flag);
    }
    // Values that change nothing: element 18 at 3, selection element 14 at 3.
    databrowse::BrowseRequest three = fileRequest(0);
    options(three)->setint64(databrowse::BrowseOptions::f::at18_18, 3);
    selection(three)->setint64(databrowse::BrowseAdvancedConfig::f::forceProtocol, 3);
    const TSeen unchanged = prepared(three);
    for (int position : owned) {
        EXPECT_EQ(unchanged.options[position], '0') << "position " << position;
    }
    // The from-time choice: element 4 alone gives 61; elements 5 and 21 give 60 only; none gives 60.
    databrowse::BrowseRequest r = fileRequest(0);
    options(r)->setint64(databrowse::BrowseOptions::f::at4_4, 1);
    TSeen seen = prepared(r);
    EXPECT_EQ(seen.options.substr(59, 3), "001");
    options(r)->setint64(databrowse::BrowseOptions::f::at5_5, 1);
    options(r)->setint64(databrowse::BrowseOptions::f::at21_21, 1);
    seen = prepared(r);
    EXPECT_EQ(seen.options.substr(59, 3), "010");
    EXPECT_EQ(seen.options[96], '0');
    databrowse::BrowseRequest none = fileRequest(0);
    EXPECT_EQ(prepared(none).options.substr(59, 3), "000") << "no options record: none of the choice";
}

// The operation table: the flag bits and the task operation of each operation, on a file system and
// on other application types; operation 2 drops the request's extended-media function.
TEST_F(RouterDirectRoad, OperationTableRows) {
    struct TRow {
        int64_t op;
        int appType;  // 0: the file-system subclient as it resolves
        unsigned long long flags;
    };
    const TRow rows[] = {
        {2, 0, 0x1 | 0x8},  {3, 0, 0x4000000000ULL},  {6, 0, 0x8 | 0x4000000000ULL},  {8, 0, 0x1},
        {2, 15, 0x1 | 0x8}, {3, 15, 0x4000000000ULL}, {6, 15, 0x8 | 0x4000000000ULL}, {8, 54, 0x1 | 0x2},
    };
    const unsigned long long operationFlags = 0x1 | 0x2 | 0x8 | 0x4000000000ULL;
    for (const TRow& row : rows) {
        databrowse::BrowseRequest r = fileRequest(row.op);
        // The file-system subclient stands in for a subclient of the row's type: what it holds is the
        // database's, so the database says so for the row.
        const int recorded = row.appType != 0 ? row.appType : s->world.fileAppType;
        sql("UPDATE APP_Application SET appTypeId = " + std::to_string(recorded) +
            " WHERE id = " + std::to_string(s->world.fileSubclient));
        if (row.appType != 0) {
            entity(r)->setint64(E::clientId, s->world.fileClient);
            entity(r)->setint64(E::backupsetId, s->world.fileBackupSet);
            entity(r)->setint64(E::applicationId, row.appType);
        }
        r.getObjectAccessor(R::mode, true)->setint64(databrowse::BrowseMode::f::mode, 5);
        const TSeen seen = prepared(r);
        sql("UPDATE APP_Application SET appTypeId = " + std::to_string(s->world.fileAppType) +
            " WHERE id = " + std::to_string(s->world.fileSubclient));
        SCOPED_TRACE("operation " + std::to_string(row.op) + " type " + std::to_string(row.appType));
        EXPECT_EQ(seen.opType, row.op);
        EXPECT_EQ(seen.flags & operationFlags, row.flags);
        EXPECT_EQ(seen.emFunction, row.op == 2 ? 0u : 5u);
    }
}

TEST_F(RouterDirectRoad, RefusalsAnsweredWithTheirTexts) {
    databrowse::BrowseRequest unsupported = fileRequest(28);
    EXPECT_EQ(exchange(unsupported).value_or(""), "Unsupported Browse operation [28]");

    // An erase is judged once its caller may erase the client's data.
    databrowse::BrowseRequest vmErase = request(7);
    entity(vmErase)->setint64(E::subclientId, s->world.vmSubclient);
    asUser(vmErase);
    EXPECT_EQ(exchange(vmErase).value_or(""),
              "The requested operation is not supported for the application type of client [hypervisor1].");

    // What is wrong with the entity is told to a caller who may see the client it names (the
    // administrator, every client); a caller who may not is refused as for any data he may not browse.
    const std::string refused = "Browse access denied: you are not authorised to browse this data.";
    databrowse::BrowseRequest noClient = request(1);
    EXPECT_EQ(exchange(noClient, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    asUser(noClient);
    EXPECT_EQ(exchange(noClient).value_or(""), "The browse request does not name a known client [].");
    databrowse::BrowseRequest unknownClient = request(1);
    entity(unknownClient)->setstring(E::clientName, "no-such-client");
    EXPECT_EQ(exchange(unknownClient, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    asUser(unknownClient);
    EXPECT_EQ(exchange(unknownClient).value_or(""),
              "The browse request does not name a known client [no-such-client].");
    databrowse::BrowseRequest unknownSubclient = request(1);
    entity(unknownSubclient)->setint64(E::subclientId, 987654);
    EXPECT_EQ(exchange(unknownSubclient, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    asUser(unknownSubclient);
    EXPECT_EQ(exchange(unknownSubclient).value_or(""),
              "The browse request names subclient [987654], which is not known.");
    databrowse::BrowseRequest report = request(4);
    EXPECT_EQ(prepared(report).opType, 4) << "operation 4 needs no client";

    databrowse::BrowseRequest vmParent = fileRequest(0);
    options(vmParent)->setint64(databrowse::BrowseOptions::f::at81_81, 1);
    EXPECT_EQ(exchange(vmParent).value_or(""), "No paths specified in browse request");
}

// A virtual machine named by its GUID below its hypervisor's backup set: a GUID no VM of it has is told of
// to one who may see the hypervisor; anyone else is refused as for a VM he may not see.
TEST_F(RouterDirectRoad, AVmOfAHypervisorIsToldOfOnlyToWhoMaySeeIt) {
    const std::string refused = "Browse access denied: you are not authorised to browse this data.";
    auto below = [](const std::string& guid) {
        databrowse::BrowseRequest r = request(0);
        entity(r)->setint64(E::backupsetId, s->world.vsa.backupSet);
        options(r)->setint64(databrowse::BrowseOptions::f::at81_81, 1);
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\" + guid + "\\etc");
        r.setlistobject(R::paths, {path});
        return r;
    };
    const auto& vm = s->world.vsa.vms.front();
    const std::string unknown = "00000000-0000-4000-8000-0000000000AB";
    for (const std::string& guid : {vm.guid, unknown}) {
        databrowse::BrowseRequest r = below(guid);
        asUser(r, s->world.fileUser);
        EXPECT_EQ(exchange(r, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused) << guid;
    }
    databrowse::BrowseRequest known = below(vm.guid), none = below(unknown);
    asUser(known);
    asUser(none);
    EXPECT_EQ(prepared(known).subclientId, vm.subclientId);
    EXPECT_EQ(exchange(none).value_or(""), "AppGetVMBrowseDetails returned DB error code [100]");
}

TEST_F(RouterDirectRoad, EraseGateFailsClosedWhenThePolicyCannotBeRead) {
    databrowse::BrowseRequest erase = fileRequest(7);
    asUser(erase, s->world.fileUser);
    EXPECT_EQ(prepared(erase).opType, 7);

    // A filter storage policy without a default copy refuses the erase.
    const std::string sc = std::to_string(s->world.fileSubclient);
    const long long status = sqlInt("SELECT subclientStatus FROM APP_Application WHERE id = " + sc);
    const std::string policy = "(SELECT dataArchGrpID FROM APP_Application WHERE id = " + sc + ")";
    const long long copy = sqlInt("SELECT defaultCopy FROM ArchGroup WHERE id = " + policy);
    ASSERT_NE(copy, 0);
    sql("UPDATE APP_Application SET subclientStatus = 536 WHERE id = " + sc);
    EXPECT_EQ(prepared(erase).opType, 7) << "a policy with a default copy lets it through";
    sql("UPDATE ArchGroup SET defaultCopy = 0 WHERE id = " + policy);
    const std::string noCopy = exchange(erase).value_or("");
    sql("UPDATE ArchGroup SET defaultCopy = " + std::to_string(copy) + " WHERE id = " + policy);
    sql("UPDATE APP_Application SET subclientStatus = " + std::to_string(status) + " WHERE id = " + sc);
    EXPECT_EQ(noCopy,
              "The requested operation is not supported for the application type of client [client1].");

    sql("ALTER TABLE ArchGroup RENAME TO ArchGroupAway");
    const std::string refused = exchange(erase).value_or("");
    sql("ALTER TABLE ArchGroupAway RENAME TO ArchGroup");
    EXPECT_EQ(refused,
              "The requested operation is not supported for the application type of client [client1].");
}

TEST_F(RouterDirectRoad, JobAndArchiveFileLimits) {
    const long long job =
        sqlInt("SELECT jobId FROM JMBkpStats WHERE appId = " + std::to_string(s->world.fileSubclient) +
               " ORDER BY jobId LIMIT 1");
    ASSERT_GT(job, 0);
    databrowse::BrowseRequest byJob = request(0);
    CNMessageBase* ref =
        selection(byJob)->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true);
    ref->setint64(databrowse::Msg11::f::jobId, job);
    ref->setint64(databrowse::Msg11::f::kelmarchId, 2);
    TSeen seen = prepared(byJob);
    EXPECT_EQ(seen.subclientId, s->world.fileSubclient);
    EXPECT_EQ(seen.clientId, s->world.fileClient);
    EXPECT_GT(seen.toTime, 0);
    EXPECT_EQ(seen.options[97], '1');

    // A job that is not known is told of to whoever may see every client (the administrator); anyone else
    // is refused as for a job of a client he may not see, whether the job exists or not.
    const std::string refused = "Browse access denied: you are not authorised to browse this data.";
    ref->setint64(databrowse::Msg11::f::jobId, 999999);
    EXPECT_EQ(exchange(byJob, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    asUser(byJob, s->world.fileUser);
    EXPECT_EQ(exchange(byJob, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    const long long othersJob = sqlInt(
        "SELECT s.jobId FROM JMBkpStats s JOIN APP_Application a ON a.id = s.appId WHERE a.clientId <> " +
        std::to_string(s->world.fileClient) + " ORDER BY s.jobId LIMIT 1");
    ASSERT_GT(othersJob, 0);
    ref->setint64(databrowse::Msg11::f::jobId, othersJob);
    EXPECT_EQ(exchange(byJob, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    ref->setint64(databrowse::Msg11::f::jobId, job);
    EXPECT_EQ(prepared(byJob).subclientId, s->world.fileSubclient) << "his own client's job is browsed";
    ref->setint64(databrowse::Msg11::f::jobId, 999999);
    asUser(byJob);
    EXPECT_EQ(exchange(byJob).value_or(""),
              "Error in Browse By JobId: job list is empty for job 999999. Session:[road-session]...");
    databrowse::BrowseRequest noSession = byJob;
    noSession.clearField(R::session.tag, R::session.code);
    EXPECT_EQ(exchange(noSession).value_or(""),
              "Error in Browse By JobId: job list is empty for job 999999. Session:[]...");

    databrowse::BrowseRequest zeroJob = fileRequest(0);
    selection(zeroJob)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true)
        ->setint64(databrowse::Msg11::f::jobId, 0);
    EXPECT_EQ(prepared(zeroJob).recordedError, "Error: Browse By JobId failed...");

    const long long indexFile = sqlInt("SELECT id FROM ArchFile WHERE fileType IN (2, 6) AND appId = " +
                                       std::to_string(s->world.fileSubclient) + " ORDER BY id LIMIT 1");
    ASSERT_GT(indexFile, 0);
    const long long cTime = sqlInt("SELECT cTime FROM ArchFile WHERE id = " + std::to_string(indexFile));
    databrowse::BrowseRequest byFile = request(0);
    CNMessageBase* fileRef =
        selection(byFile)->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::archiveFileRef, true);
    fileRef->setint64(databrowse::Msg26::f::archFileId, indexFile);
    fileRef->getObjectAccessor(databrowse::Msg26::f::kelmarch, true)
        ->setint64(ZyEntities::KelmarchEntity::f::kelmarchId, 2);
    seen = prepared(byFile);
    EXPECT_EQ(seen.subclientId, s->world.fileSubclient);
    EXPECT_EQ(seen.toTime, cTime);
    EXPECT_EQ(seen.fromTime, 0);
    fileRef->setint64(databrowse::Msg26::f::archFileId, 99999999);
    EXPECT_EQ(exchange(byFile, 20s, databrowse::BROWSE_ERR_PERMISSION).value_or(""), refused);
    asUser(byFile);
    EXPECT_EQ(exchange(byFile).value_or(""), "Failed to get aFile[2:99999999] details");
}

TEST_F(RouterDirectRoad, MixedPathAndGuidRecorded) {
    databrowse::BrowseRequest r = fileRequest(0);
    databrowse::BrowsePath byPath, byGuid;
    byPath.setstring(databrowse::BrowsePath::f::path, "\\data");
    byGuid.getObjectAccessor(databrowse::BrowsePath::f::guidRef, true)
        ->setstring(databrowse::BrowsePathGuid::f::guid, "5E6D0000-0000-4000-8000-00000000D0D1");
    r.setlistobject(R::paths, {byPath, byGuid});
    TSeen seen = prepared(r);
    EXPECT_EQ(seen.recordedError, "Error: Mixed Browse By Path abd Browse by GUID is not supported...");
    r.setlistobject(R::paths, {byGuid});
    seen = prepared(r);
    EXPECT_TRUE(seen.recordedError.empty());
    EXPECT_TRUE(seen.guidLookup);
}

TEST_F(RouterDirectRoad, StopsGetNoReplyWhateverTheCaller) {
    // Refused or not, a stop is answered by nothing (its callers expect no reply).
    databrowse::BrowseRequest stop = fileRequest(5);
    EXPECT_FALSE(exchange(stop, 3s).has_value()) << "an unauthenticated stop gets no reply";

    asUser(stop);
    EXPECT_FALSE(exchange(stop, 3s).has_value()) << "an authenticated stop gets no reply";
}

TEST_F(RouterDirectRoad, VmCopyPrecedenceRows) {
    const hubdb::DemoHypervisor& vsa = s->world.vsa;
    size_t linux = 0, windows = 0;
    for (size_t v = 0; v < vsa.vmOsIds.size(); ++v) {
        if (vsa.vmOsIds[v] == vsa.linuxOs) linux = v;
        if (vsa.vmOsIds[v] == vsa.windowsOs) windows = v;
    }
    auto vmRequest = [&](int64_t op, size_t vm) {
        databrowse::BrowseRequest r = request(op);
        entity(r)->setint64(E::subclientId, vsa.subclient);
        options(r)->setint64(databrowse::BrowseOptions::f::at3_3, 1);
        r.setstring(R::userName, "admin");
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "\\\\" + vsa.vms[vm].guid + "\\folder");
        r.setlistobject(R::paths, {path});
        return r;
    };
    sql("UPDATE APP_InstanceProp SET attrVal = '402' WHERE componentNameId = " +
        std::to_string(vsa.instance) + " AND attrName = 'Virtual Server Instance Type'");
    databrowse::BrowseRequest linuxVm = vmRequest(0, linux);
    TSeen seen = prepared(linuxVm);
    EXPECT_EQ(seen.copyPrecedence, -4);
    EXPECT_EQ(seen.requestPrecedence, -4);
    databrowse::BrowseRequest windowsVm = vmRequest(0, windows);
    EXPECT_EQ(prepared(windowsVm).copyPrecedence, 0);
    databrowse::BrowseRequest report = vmRequest(4, linux);
    EXPECT_EQ(prepared(report).copyPrecedence, 0);
    sql("UPDATE APP_InstanceProp SET attrVal = '1' WHERE componentNameId = " + std::to_string(vsa.instance) +
        " AND attrName = 'Virtual Server Instance Type'");
    EXPECT_EQ(prepared(linuxVm).copyPrecedence, 0) << "another instance type keeps the preferred copy";

    ASSERT_TRUE(ZYPlatformInfo::setNumber("~Indexing", "PREFER_BACKUP_COPY", 2UL));
    seen = prepared(windowsVm);
    EXPECT_EQ(seen.copyPrecedence, -4);
    EXPECT_EQ(seen.requestPrecedence, 0);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~Indexing", "PREFER_BACKUP_COPY", 0UL));
    EXPECT_EQ(prepared(linuxVm).copyPrecedence, 0);
    ASSERT_TRUE(ZYPlatformInfo::setNumber("~Indexing", "PREFER_BACKUP_COPY", 1UL));
}

}  // namespace
