// Whole requests through the controller and a real worker over the demo world, seen from the caller's
// return channel: the failure answer, errors with their codes and texts, nothing after the end, and
// the session's configuration record left with no reference of a finished request. Also the
// responses on their own, intake's erase kinds and content-index decision, the sync flags, the request
// text of the log and the NAS plug-in.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/browseaccess.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/threadsql.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/indexing/supersearch.h"
#include "platform/log/evdebug.h"
#include "platform/security/securityseed.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "service/controllerthread.h"
#include "service/failurefallback.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/answers/browseanswers.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/naslivebrowseplugin.h"
#include "worker/requestlog.h"

namespace {

constexpr long kDay = 86400;

using hubtest::answersOf;
using hubtest::countOfType;
using hubtest::TAnswer;

// A worker whose protected state the tests may set and read.
class ProbeWorker : public CWorkerThreadHM {
public:
    using CWorkerThreadHM::decideSuperSearch;
};

class RequestRoad : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(dir.file("demo"), world, &error)) << error;
        {
            hubdb::HubDbSeed seed(world.databasePath);
            // The administrator may erase end users' data.
            zysec::SecuritySeed(seed).grant(world.adminUser, zysec::kPermDeleteData, {});
            // A subclient of the file client that was never backed up, in a backup set of its own.
            neverBackedUpSet = seed.addBackupSet("neverBackedUp");
            neverBackedUpSubclient = seed.addSubclient({.clientId = world.fileClient,
                                                        .appTypeId = world.fileAppType,
                                                        .backupSetId = neverBackedUpSet,
                                                        .name = "never"});
            // A content-index cloud of the file client's backup set, with one enabled node.
            seed.exec(
                "INSERT INTO DM2Cloud (cloudId, indexServerClientId, kindName, cloudName, internalCloudName, "
                "serverType) VALUES (7, ?, 'Search', 'search cloud', 'sc', 1)",
                {zydb::DbValue::ofInt(world.mediaAgent)});
            seed.exec(
                "INSERT INTO DM2CloudNode (cloudId, clientId, nodeOrder, basePort, engineName, enabled) "
                "VALUES (7, ?, 1, 20000, 'engine', 1)",
                {zydb::DbValue::ofInt(world.mediaAgent)});
            seed.exec(
                "INSERT INTO APP_BackupSetProp (componentNameId, attrName, attrType, attrVal, created, "
                "modified) VALUES (?, ?, 1, '7', 1, 0)",
                {zydb::DbValue::ofInt(world.fileBackupSet),
                 zydb::DbValue::ofText(superSearchProps::kContentIndexCloud)});
        }
        ASSERT_EQ(hubdb::openHubDatabase(world.databasePath, &error), zydb::DB_OK) << error;
        cache = std::make_unique<CConfigurationMgr>();
        cache->setConflictWait(3, 10);
        savedConfMgr = std::exchange(g_poConfMgr, cache.get());
        static std::atomic<int> n{0};
        CControllerThreadHM::TOptions options;
        options.stopEventName = "road-test-" + std::to_string(getpid()) + "-" + std::to_string(++n);
        controller = std::make_unique<CControllerThreadHM>(options);
        fallbacksBefore = failurefallback::count();
    }
    void TearDown() override {
        // Every failure of these requests reached its caller with its own reason.
        EXPECT_EQ(failurefallback::count(), fallbacksBefore)
            << "a failure was answered with the generic text";
        controller.reset();
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
        g_poConfMgr = savedConfMgr;  // the library's own manager goes back in place
        cache.reset();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }

    // A browse of the demo's file-system subclient by the administrator, answered to `destination`.
    std::unique_ptr<EvMultiEntityRestoreTask> fileTask(std::shared_ptr<EvRecordingDestination>& destination,
                                                       const char* path = "/",
                                                       const std::string& session = "") {
        const long long job = 9000 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto task = std::make_unique<EvMultiEntityRestoreTask>();
        const long toTime = static_cast<long>(world.firstBackupTime) + 5 * kDay;
        task->setTaskParameters(static_cast<unsigned long long>(job), 0, world.adminUser, 0, 2,
                                world.fileClient, world.fileBackupSet, 0, toTime, 0, world.fileAppType, 0, 0,
                                0);
        task->setUserName("admin");
        task->setSubClientId(world.fileSubclient);
        task->setbrowseSessionGUID(session.c_str());
        if (path) task->addPath(EvRestoreTask::kBrowsePathList, path);
        return task;
    }

    // The one error a failed request answered its caller with (code and text).
    std::pair<int64_t, std::string> failureOf(std::unique_ptr<EvMultiEntityRestoreTask>& task,
                                              const std::shared_ptr<EvRecordingDestination>& destination,
                                              databrowse::BrowseRequest* request = nullptr) {
        EXPECT_FALSE(
            controller->newRequest(task.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, request));
        const auto answers = answersOf(*destination);
        EXPECT_EQ(countOfType(answers, 3), 1u);
        for (const TAnswer& a : answers)
            if (a.type == 3 && !a.errors.empty()) return a.errors[0];
        return {};
    }

    // No reference of a finished request is left on the session's record.
    void expectNoReferences(const std::string& session) {
        if (CConfRecord* record = cache->getConfRec(session, false)) {
            EXPECT_EQ(record->getRefCount(), 0u) << session;
        }
    }

    TempDir dir;
    hubdemo::DemoWorld world;
    int neverBackedUpSet = 0, neverBackedUpSubclient = 0;
    std::unique_ptr<CConfigurationMgr> cache;
    CConfigurationMgr* savedConfMgr = nullptr;  // the library's own, while the test's is in place
    std::unique_ptr<CControllerThreadHM> controller;
    std::vector<long long> jobs;
    uint64_t fallbacksBefore = 0;
};

}  // namespace

// A request that reaches no answer: the generated session first, then exactly one error naming what
// failed, then nothing else; the session's record keeps no reference of it.
TEST_F(RequestRoad, FailedRequestAnswersOnceAfterItsSession) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination);
    EXPECT_FALSE(controller->newRequest(task.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    const auto answers = answersOf(*destination);
    ASSERT_GE(answers.size(), 2u);
    EXPECT_TRUE(answers.front().session);
    EXPECT_FALSE(answers.front().sessionId.empty());
    EXPECT_EQ(task->getbrowseSessionGUID(), answers.front().sessionId);
    ASSERT_EQ(countOfType(answers, 3), 1u);
    EXPECT_EQ(answers.back().type, 3);
    ASSERT_EQ(answers.back().errors.size(), 1u);
    EXPECT_EQ(answers.back().errors[0].first, databrowse::BROWSE_ERR_GENERIC);
    // The demo world's media agents are not running: the browse fails with the reason, never the
    // controller's generic text.
    EXPECT_FALSE(answers.back().errors[0].second.empty());
    EXPECT_EQ(answers.back().errors[0].second.find("Browse request failed"), std::string::npos)
        << answers.back().errors[0].second;
    EXPECT_EQ(countOfType(answers, 5), 0u);
    EXPECT_EQ(controller->getWorkerCount(), 0u);
    expectNoReferences(answers.front().sessionId);
}

// Failures that once reached their caller as the controller's generic text each carry their own reason:
// an unknown client, a backup set of 0, and a delayed-stubbing browse of a subclient never backed up.
TEST_F(RequestRoad, EachFailureSaysWhy) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto unknownClient = fileTask(destination, "/", "unknown-client");
    unknownClient->setTaskParameters(unknownClient->getJobId(), 0, world.adminUser, 0, 2, 999999,
                                     world.fileBackupSet, 0, unknownClient->getToTime(), 0, world.fileAppType,
                                     0, 0, 0);
    const auto unknown = failureOf(unknownClient, destination);
    EXPECT_EQ(answersOf(*destination).size(), 1u);
    // The entity is judged before anything is set up: the administrator, who may see every client, is
    // told the client is not known.
    EXPECT_EQ(unknown,
              (std::pair<int64_t, std::string>{databrowse::BROWSE_ERR_GENERIC,
                                               "The browse request does not name a known client [999999]."}));
    expectNoReferences("unknown-client");

    auto noBackupSet = fileTask(destination, "/", "backup-set-0");
    noBackupSet->setTaskParameters(noBackupSet->getJobId(), 0, world.adminUser, 0, 2, world.fileClient, 0, 0,
                                   noBackupSet->getToTime(), 0, world.fileAppType, 0, 0, 0);
    noBackupSet->setSubClientId(0);
    const auto noSet = failureOf(noBackupSet, destination);
    EXPECT_EQ(noSet.first, databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
    EXPECT_FALSE(noSet.second.empty());
    expectNoReferences("backup-set-0");

    auto neverBackedUp = fileTask(destination, "/", "never-backed-up");
    std::string options(110, '0');
    options[104] = '1';  // delayed stubbing: the browse ends at the subclient's last DR backup
    neverBackedUp->setextendedOptions(options.c_str());
    neverBackedUp->setSubClientId(neverBackedUpSubclient);
    neverBackedUp->setBackupSetId(neverBackedUpSet);
    const auto stubbing = failureOf(neverBackedUp, destination);
    EXPECT_EQ(stubbing.first, databrowse::BROWSE_ERR_REQUEST_PROCESSING);
    EXPECT_EQ(stubbing.second, "The time of the last DR backup of the subclient cannot be read: subclient [" +
                                   std::to_string(neverBackedUpSubclient) + "] has no finished backup");
    expectNoReferences("never-backed-up");
}

// An empty browse path is refused with its own message; the session's record is left unreferenced.
TEST_F(RequestRoad, EmptyBrowsePathGivesItsError) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, nullptr, "empty-path-session");
    EXPECT_FALSE(controller->newRequest(task.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    const auto answers = answersOf(*destination);
    ASSERT_EQ(countOfType(answers, 3), 1u);
    ASSERT_EQ(answers.back().errors.size(), 1u);
    EXPECT_EQ(answers.back().errors[0].first, databrowse::BROWSE_ERR_GENERIC);
    EXPECT_EQ(answers.back().errors[0].second, "The browse request does not name a path to browse.");
    expectNoReferences("empty-path-session");
}

// A browse of a backup copy that has no copy job: the error and the end go out together, and the
// controller adds nothing after the end.
TEST_F(RequestRoad, NothingFollowsTheEnd) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "backup-copy-session");
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::viewBackupCopy, 1);
    EXPECT_FALSE(
        controller->newRequest(task.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, &request));
    const auto answers = answersOf(*destination);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().type, 5);
    EXPECT_EQ(countOfType(answers, 5), 1u);
    ASSERT_EQ(countOfType(answers, 3), 1u);
    for (const TAnswer& a : answers)
        if (a.type == 3) {
            EXPECT_EQ(a.errors.at(0).first, databrowse::BROWSE_ERR_NO_BACKUP_COPY_JOB);
        }
    expectNoReferences("backup-copy-session");
}

// Requests of one session in turn, each failing at a different step: none leaves a reference behind,
// and a request that failed before it opened the record takes none from a request still running.
TEST_F(RequestRoad, ReferencesAreExactWhateverTheStep) {
    const std::string session = "shared-session";
    // A running request of the session, holding its reference.
    ProbeWorker running;
    std::shared_ptr<EvRecordingDestination> destination;
    auto runningTask = fileTask(destination, "/", session);
    ASSERT_EQ(running.getBrowseTask()->initBrowse(runningTask.get()), 1);
    fields(running).heldConfId() = running.getBrowseTask()->getDataPtr()->confId;
    ASSERT_EQ(fields(running).heldConfId(), session);
    ASSERT_EQ(cache->getConfRec(session, false)->getRefCount(), 1u);

    // Fails before opening anything (authentication of an unknown user) and with an empty path.
    auto stranger = fileTask(destination, "/", session);
    stranger->setTaskParameters(stranger->getJobId(), 0, 999999, 0, 2, world.fileClient, world.fileBackupSet,
                                0, stranger->getToTime(), 0, world.fileAppType, 0, 0, 0);
    stranger->setUserName("nobody");
    EXPECT_FALSE(
        controller->newRequest(stranger.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    auto noPath = fileTask(destination, nullptr, session);
    EXPECT_FALSE(
        controller->newRequest(noPath.get(), false, false, databrowse::FORCE_USE_INDEX_NONE, nullptr));
    ASSERT_NE(cache->getConfRec(session, false), nullptr);
    EXPECT_EQ(cache->getConfRec(session, false)->getRefCount(), 1u);

    // The running request ends: its answer's end gives its reference back and the record goes.
    running.setOutstandingRequests(1);
    EXPECT_TRUE(running.processEndMessage(nullptr));
    EXPECT_EQ(cache->getConfRec(session, false), nullptr);
    EXPECT_TRUE(running.getHeldConfId().empty());
}

// The caller's channel ends as the end response goes out, while the worker still lives: the caller
// need not wait for the worker's teardown, and nothing written later reaches it.
TEST_F(RequestRoad, TheChannelEndsWithTheEndResponse) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "ending-session");
    ProbeWorker worker;
    ASSERT_EQ(worker.getBrowseTask()->initBrowse(task.get()), 1);
    fields(worker).heldConfId() = worker.getBrowseTask()->getDataPtr()->confId;
    fields(worker).outstandingRequests() = 1;
    EXPECT_FALSE(destination->ended());
    databrowse::BrowseResponse end;
    end.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
    std::string endXml;
    ASSERT_EQ(end.serialize(endXml), 0);
    EXPECT_TRUE(worker.processEndMessage(endXml.c_str()));
    EXPECT_TRUE(destination->ended());
    worker.processErrorMessage(databrowse::BROWSE_ERR_GENERIC, "after the end");
    const auto records = destination->records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().kind, EV_RETURN_RECORD_END);
    const auto answers = answersOf(*destination);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].type, 5);
}

// The responses on their own: codes, the stand-by channel before a browse task exists, one end, the
// count operations and the end of several answers.
TEST_F(RequestRoad, ResponsesAndEnds) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "responses-session");
    ProbeWorker worker;
    // Before newRequest the worker knows no channel: nothing reaches a caller, nothing breaks.
    worker.processErrorMessage(databrowse::BROWSE_ERR_NONE, "lost");
    EXPECT_TRUE(answersOf(*destination).empty());

    ASSERT_EQ(worker.getBrowseTask()->initBrowse(task.get()), 1);
    fields(worker).heldConfId() = worker.getBrowseTask()->getDataPtr()->confId;
    worker.processErrorMessage(databrowse::BROWSE_ERR_NONE, "first");
    worker.processErrorMessage(databrowse::BROWSE_ERR_PERMISSION, nullptr);
    worker.sendErrorToBrowse();  // last code 0: nothing
    databrowse::BrowseError warning;
    warning.setint64(databrowse::BrowseError::f::errorCode, 23);
    warning.setstring(databrowse::BrowseError::f::errorMessage, "powering on");
    worker.sendWarningToBrowse(warning);
    fields(worker).outstandingRequests() = 2;
    EXPECT_FALSE(worker.processEndMessage("<databrowse_BrowseResponse respType=\"5\"/>"));
    EXPECT_TRUE(worker.processEndMessage(nullptr));
    worker.sendEndResponse();
    worker.processErrorMessage(databrowse::BROWSE_ERR_GENERIC, "after the end");
    worker.getBrowseTask()->getDataPtr()->restoreReturn->dumpBuffer(9);

    const auto answers = answersOf(*destination);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].type, 3);
    EXPECT_EQ(answers[0].errors.at(0), (std::pair<int64_t, std::string>{1, "first"}));
    EXPECT_EQ(answers[1].type, 4);
    EXPECT_EQ(answers[1].errors.at(0).first, 23);
    EXPECT_EQ(answers[1].sessionId, "responses-session");
    EXPECT_EQ(answers[2].type, 5);
    EXPECT_EQ(worker.getHeldConfId(), "");

    // A worker without a browse task channel still ends through the stand-by channel of its job.
    ProbeWorker early;
    std::shared_ptr<EvRecordingDestination> second;
    auto secondTask = fileTask(second, "/", "stand-by");
    EXPECT_FALSE(early.newRequest(nullptr));
    early.getPrivateTask()->setJobId(secondTask->getJobId());
    early.sendEndResponse();
    early.sendEndResponse();
    const auto ends = answersOf(*second);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].type, 5);

    unsigned int op = 0;
    const std::pair<uint32_t, unsigned> counts[] = {{0x107, 8}, {2, 1}, {3, 1}, {6, 5}};
    for (const auto& [em, expected] : counts) {
        fields(worker).inputData().emFunction = em;
        EXPECT_TRUE(worker.emRequiresCount(op));
        EXPECT_EQ(op, expected);
    }
    fields(worker).inputData().emFunction = 4;
    EXPECT_FALSE(worker.emRequiresCount(op));
    EXPECT_EQ(op, 0xFFFFFFFFu);
    worker.getBrowseTask()->getDataPtr()->options |= 0x2;
    fields(worker).inputData().emFunction = 7;
    op = 0;
    EXPECT_FALSE(worker.emRequiresCount(op));
    EXPECT_EQ(op, 0u);

    databrowse::BrowseResponse response;
    fields(worker).countTag() = "count-tag";
    worker.addCountResponse(1234, response);
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->getstring(databrowse::BrowseResult::f::queryId), "count-tag");
    EXPECT_EQ(result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false)
                  ->front()
                  .getint64(databrowse::AggregateResult::f::count),
              1234);
}

// End-user erase: each operation takes its kind; only operation 7 asks the content-index decision,
// which fills the request's server from the backup set's cloud.
TEST_F(RequestRoad, EndUserEraseKinds) {
    for (auto [op, kind] : {std::pair{databrowse::BROWSE_OP_END_USER_ERASE, 17},
                            std::pair{databrowse::BROWSE_OP_END_USER_ERASE_2, 18},
                            std::pair{databrowse::BROWSE_OP_END_USER_ERASE_3, 19}}) {
        std::shared_ptr<EvRecordingDestination> destination;
        auto task = fileTask(destination, "/", "erase-" + std::to_string(op));
        task->setBrowseOpType(op);
        CWorkerThreadHM worker;
        worker.setWorkerId("erase");
        {
            CWorkerAccess access(worker);
            worker.newRequest(task.get());
        }
        EXPECT_EQ(worker.getSuperSearchOpType(), kind);
        ASSERT_NE(worker.getExternalBrowseReq(), nullptr);
        CNMessageBase* ci = worker.getExternalBrowseReq()->getObjectAccessor(
            Indexing::ExternalBrowseReq::f::ciBrowseReq, false);
        ASSERT_NE(ci, nullptr);
        EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::opType), kind);
        const std::string server = ci->getstring(Indexing::CIBrowseReq::f::ciServer);
        if (op == databrowse::BROWSE_OP_END_USER_ERASE) {
            EXPECT_FALSE(server.empty());
        } else {
            EXPECT_TRUE(server.empty());
        }
        expectNoReferences("erase-" + std::to_string(op));
    }
}

// The content-index decision over the database: browses and plain finds stay classic, a find that may
// engage super search needs a cloud with an enabled node, a forced classic index never engages it.
TEST_F(RequestRoad, ContentIndexDecision) {
    TSuperSearchAnswer answer;
    std::string web;
    int kind = 0;
    EXPECT_TRUE(DetermineOperationType(nullptr, 0, world.fileClient, &kind, world.fileSubclient,
                                       world.fileBackupSet, 0, false, databrowse::FORCE_USE_INDEX_NONE, false,
                                       web, answer));
    EXPECT_EQ(kind, superSearchKind::kClassicBrowse);
    EXPECT_TRUE(DetermineOperationType(nullptr, 2, world.fileClient, &kind, world.fileSubclient,
                                       world.fileBackupSet, 0, false, databrowse::FORCE_USE_INDEX_NONE, false,
                                       web, answer));
    EXPECT_EQ(kind, superSearchKind::kClassicFind);
    EXPECT_TRUE(DetermineOperationType(nullptr, 1, world.fileClient, &kind, world.fileSubclient,
                                       world.fileBackupSet, 0, false, databrowse::FORCE_USE_INDEX_NONE, false,
                                       web, answer));
    EXPECT_EQ(kind, superSearchKind::kContentIndexFind);
    EXPECT_EQ(answer.ciCloudId, 7);
    EXPECT_FALSE(answer.ciServer.empty());
    EXPECT_EQ(web, answer.ciServer);
    EXPECT_FALSE(DetermineOperationType(nullptr, 1, world.fileClient, &kind, world.fileSubclient,
                                        world.fileBackupSet, 0, false, databrowse::FORCE_USE_INDEX_CTREE,
                                        false, web, answer));
    // The other client's backup set has no cloud.
    kind = 0;
    EXPECT_FALSE(DetermineOperationType(nullptr, 1, world.otherFileClient, &kind, 0, 999999, 0, false,
                                        databrowse::FORCE_USE_INDEX_NONE, false, web, answer));
}

// A sync subclient gets its switches after a caller's own flags; a plain one leaves the list alone.
TEST_F(RequestRoad, SyncFlags) {
    auto task = std::make_unique<EvMultiEntityRestoreTask>();
    task->setClientId(world.fileClient);
    task->setSubClientId(world.fileSubclient);
    CWorkerThreadHM plain;
    EXPECT_TRUE(plain.applySyncFlags(task.get()));
    EXPECT_FALSE(plain.getIsSyncEnabled());
    EXPECT_EQ(plain.getAdditionalFlags(), nullptr);

    {
        hubdb::HubDbSeed seed(world.databasePath);
        for (const char* name : {superSearchProps::kSyncEnabled, superSearchProps::kNfsObjectStore})
            seed.exec(
                "INSERT INTO APP_SubClientProp (componentNameId, attrName, attrType, attrVal, created, "
                "modified) "
                "VALUES (?, ?, 1, '1', 1, 0)",
                {zydb::DbValue::ofInt(world.fileSubclient), zydb::DbValue::ofText(name)});
    }
    std::vector<databrowse::AdditionalFlag> callers(1);
    callers[0].setstring(databrowse::AdditionalFlag::f::flagName, "CALLER");
    CWorkerThreadHM sync;
    sync.setAdditionalFlags(&callers);
    EXPECT_TRUE(sync.applySyncFlags(task.get()));
    EXPECT_TRUE(sync.getIsSyncEnabled());
    ASSERT_EQ(callers.size(), 3u);
    EXPECT_EQ(callers[1].getstring(databrowse::AdditionalFlag::f::flagName), "SYNC_ENABLED");
    EXPECT_EQ(callers[2].getstring(databrowse::AdditionalFlag::f::flagName), "NFS_OBJECTSTORE_ENABLED");
    EXPECT_EQ(callers[2].getint64(databrowse::AdditionalFlag::f::flagType), 3);
    EXPECT_EQ(callers[2].getstring(databrowse::AdditionalFlag::f::value), "TRUE");

    CWorkerThreadHM own;
    EXPECT_TRUE(own.applySyncFlags(task.get()));
    ASSERT_NE(own.getAdditionalFlags(), nullptr);
    EXPECT_EQ(own.getAdditionalFlags()->size(), 2u);
}

// The request's text for the log never holds the token or the access string.
TEST(RequestLog, SecretsAreMasked) {
    databrowse::BrowseRequest request;
    request.setstring(databrowse::BrowseRequest::f::token, "token-element-13-secret");
    request.setpstringobject(databrowse::BrowseRequest::f::credential, bstring("access-string-secret"));
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    CNMessageBase* block = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true);
    databrowse::AdditionalFlag byName, byType, other;
    byName.setstring(databrowse::AdditionalFlag::f::flagName, "Token");
    byName.setstring(databrowse::AdditionalFlag::f::value, "flag-token-secret");
    byType.setint64(databrowse::AdditionalFlag::f::flagType, 2);
    byType.setstring(databrowse::AdditionalFlag::f::value, "typed-token-secret");
    other.setstring(databrowse::AdditionalFlag::f::flagName, "SYNC_ENABLED");
    other.setstring(databrowse::AdditionalFlag::f::value, "TRUE");
    block->setlistobject(databrowse::Msg9::f::additionalFlags, {byName, byType, other});

    const std::string text = maskedRequestText(request);
    for (const char* secret :
         {"token-element-13-secret", "access-string-secret", "flag-token-secret", "typed-token-secret"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_NE(text.find("SYNC_ENABLED"), std::string::npos);
    EXPECT_NE(text.find(kMaskedSecret), std::string::npos);
    // The request itself is untouched.
    EXPECT_EQ(request.getstring(databrowse::BrowseRequest::f::token), "token-element-13-secret");

    // The text is the request's own text form with its secrets replaced, a token flag without a value
    // included (it shows the masked value).
    const auto replaced = [](databrowse::BrowseRequest copy) {
        copy.setstring(databrowse::BrowseRequest::f::token, kMaskedSecret);
        for (CNMessageBase& flag : *requestAdditionalFlags(copy))
            if (isTokenFlag(flag)) flag.setstring(databrowse::AdditionalFlag::f::value, kMaskedSecret);
        return copy.AsString();
    };
    EXPECT_EQ(text, replaced(request));
    databrowse::AdditionalFlag bare;
    bare.setint64(databrowse::AdditionalFlag::f::flagType, 2);
    requestAdditionalFlags(request)->push_back(bare);
    EXPECT_EQ(maskedRequestText(request), replaced(request));
}

// The plug-in is loaded once under its name; each outcome comes back as the plug-in gave it, and every
// object it made is released.
TEST(NasLiveBrowsePlugin, OutcomesOfOneLoadedPlugin) {
    CNASLiveBrowsePlugin& plugin = CNASLiveBrowsePlugin::instance();
    ASSERT_TRUE(plugin.isLoaded()) << plugin.loadError();
    EXPECT_EQ(&plugin, &CNASLiveBrowsePlugin::instance());
    void* self = dlopen(NASLIVEBROWSE_LIBRARY_NAME, RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(self, nullptr);
    auto made = reinterpret_cast<int (*)()>(dlsym(self, "NASTestObjectsMade"));
    auto released = reinterpret_cast<int (*)()>(dlsym(self, "NASTestObjectsReleased"));
    ASSERT_TRUE(made && released);
    const int before = made();

    std::string text;
    unsetenv("HUB_TEST_NAS_RESULT");
    EXPECT_EQ(plugin.getSnapMountParams(14, 2, 345, text), NASLIVEBROWSE_OK);
    EXPECT_EQ(text, "<NASMount mode=\"2\" subclient=\"14\" copy=\"2\" afile=\"345\" flag=\"1\"/>");
    for (int result :
         {static_cast<int>(NASLIVEBROWSE_NO_SNAPSHOT), 2, static_cast<int>(NASLIVEBROWSE_NO_CREDENTIALS)}) {
        setenv("HUB_TEST_NAS_RESULT", std::to_string(result).c_str(), 1);
        EXPECT_EQ(plugin.getSnapMountParams(14, 2, 345, text), result);
    }
    setenv("HUB_TEST_NAS_NULL_OBJECT", "1", 1);
    EXPECT_EQ(plugin.getSnapMountParams(14, 2, 345, text), -1);
    unsetenv("HUB_TEST_NAS_NULL_OBJECT");
    unsetenv("HUB_TEST_NAS_RESULT");
    EXPECT_EQ(made() - before, 4);
    EXPECT_EQ(released(), made());
    dlclose(self);
}

// A find that may engage super search, with a filter, on a backup set served by a content-index
// cloud: intake builds the content-index request (kind 6, the cloud's node, the index server as web
// host) and the browse goes on as a super browse.
namespace {

// A query list of one query with one filter, as a find pattern's text.
databrowse::Querylist reportFilter() {
    databrowse::FilteredBrowseCriteriaValue value;
    value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, 4);
    value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {"report"});
    databrowse::Criteria criterion;
    criterion.setObjectAccessor(value, databrowse::Criteria::f::criteria);
    databrowse::Query query;
    query.setstring(databrowse::Query::f::queryId, "q1");
    query.setlistobject(databrowse::Query::f::criteriaList, {criterion});
    databrowse::Querylist queries;
    queries.setlistobject(databrowse::Querylist::f::queries, {query});
    return queries;
}

}  // namespace

TEST_F(RequestRoad, ContentIndexFindThroughIntake) {
    std::string filter;
    ASSERT_EQ(reportFilter().serialize(filter), 0);

    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "ci-find");
    task->setBrowseOpType(databrowse::BROWSE_OP_FIND);
    task->setPreferContentServer(true);
    task->setbrowseFindPattern(filter.c_str());
    CWorkerThreadHM worker;
    worker.setWorkerId("ci");
    {
        CWorkerAccess access(worker);
        EXPECT_FALSE(worker.newRequest(task.get()));
    }
    // It went on as a super browse, to a media agent that is not running in this test.
    EXPECT_NE(std::string(worker.getErrorMessage()).find("Could not reach media agent"), std::string::npos)
        << worker.getErrorMessage();
    EXPECT_EQ(worker.getSuperSearchOpType(), superSearchKind::kContentIndexFind);
    ASSERT_NE(worker.getExternalBrowseReq(), nullptr);
    CNMessageBase* ci =
        worker.getExternalBrowseReq()->getObjectAccessor(Indexing::ExternalBrowseReq::f::ciBrowseReq, false);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::ciCloudId), 7);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::userId), world.adminUser);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::siteMode), 4);  // full rights: the web console
    EXPECT_FALSE(ci->getstring(Indexing::CIBrowseReq::f::ciServer).empty());
    EXPECT_EQ(worker.getPrivateTask()->getWebServerHostName(),
              ci->getstring(Indexing::CIBrowseReq::f::ciServer));
    EXPECT_EQ(worker.getBrowseTask()->getDataPtr()->isSuperBrowse, 1);
    expectNoReferences("ci-find");
}

// An Exchange Monorun find on the same cloud: the browse task carries the worker's job, the
// content-index request the SOLR cloud flag and the index browse request the cloud's details; a task
// without a user takes the one of the request's caller record; a backup set without SOLR cloud details
// fails the request.
TEST_F(RequestRoad, MonorunFindNamesItsSolrCloud) {
    std::string filter;
    ASSERT_EQ(reportFilter().serialize(filter), 0);
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "monorun-find");
    task->setAppType(apptype::kExchangeMonorun);
    // The file subclient stands in for a single-run mailbox subclient: what it holds is the database's.
    auto recordType = [&](apptype::EAppType type) {
        hubdb::HubDbSeed seed(world.databasePath);
        seed.exec("UPDATE APP_Application SET appTypeId = ? WHERE id = ?",
                  {zydb::DbValue::ofInt(apptype::code(type)), zydb::DbValue::ofInt(world.fileSubclient)});
    };
    recordType(apptype::kExchangeMonorun);
    task->setBrowseOpType(databrowse::BROWSE_OP_FIND);
    task->setbrowseFindPattern(filter.c_str());
    ProbeWorker worker;
    worker.setWorkerId("monorun");
    worker.setJobId(4321);
    {
        CWorkerAccess access(worker);
        EXPECT_FALSE(worker.newRequest(task.get()));  // no media agent runs in this test
    }
    EXPECT_EQ(worker.getBrowseTask()->getDataPtr()->jobId, 4321u);
    ASSERT_NE(worker.getExternalBrowseReq(), nullptr);
    CNMessageBase* ci =
        worker.getExternalBrowseReq()->getObjectAccessor(Indexing::ExternalBrowseReq::f::ciBrowseReq, false);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::solrCloud), 1);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::userId), world.adminUser);
    EXPECT_EQ(fields(worker).indexBrowseRequest().getstring(Indexing::BrowseReq::f::solrCloudDetails), "sc");
    expectNoReferences("monorun-find");
    recordType(apptype::of(world.fileAppType));

    // The content-index decision alone, for a task that names no user.
    auto decide = [&](long backupSetId, ProbeWorker& probe) {
        EvMultiEntityRestoreTask* p = probe.getPrivateTask();
        p->setTaskParameters(1, 0, 0, 0, 2, world.fileClient, backupSetId, 0, 0, 0, 137, 0, 0, 0);
        p->setSubClientId(world.fileSubclient);
        p->setBrowseOpType(databrowse::BROWSE_OP_FIND);
        fields(probe).queryList() = std::make_unique<databrowse::Querylist>(reportFilter());
        databrowse::BrowseRequest* request = probe.getBrowseReqV2();
        CNMessageBase* user = request->getObjectAccessor(databrowse::BrowseRequest::f::caller, true)
                                  ->getObjectAccessor(ZyEntities::Msg74::f::user, true);
        user->setint64(ZyEntities::UserEntity::f::userId, 42);
        user->setstring(ZyEntities::UserEntity::f::userName, "mailuser");
        TRequestAuth auth;
        auth.authMode = 2;
        return probe.decideSuperSearch(p, auth, "").ok();
    };
    ProbeWorker named;
    ASSERT_TRUE(decide(world.fileBackupSet, named));
    ci = named.getExternalBrowseReq()->getObjectAccessor(Indexing::ExternalBrowseReq::f::ciBrowseReq, false);
    EXPECT_EQ(ci->getint64(Indexing::CIBrowseReq::f::userId), 42);
    EXPECT_EQ(ci->getstring(Indexing::CIBrowseReq::f::userName), "mailuser");

    // The subclient names the cloud, its backup set none: no SOLR cloud details, no browse.
    {
        hubdb::HubDbSeed seed(world.databasePath);
        seed.exec(
            "INSERT INTO APP_SubClientProp (componentNameId, attrName, attrType, attrVal, created, modified) "
            "VALUES (?, ?, 1, '7', 1, 0)",
            {zydb::DbValue::ofInt(world.fileSubclient),
             zydb::DbValue::ofText(superSearchProps::kContentIndexCloud)});
    }
    ProbeWorker unnamed;
    EXPECT_FALSE(decide(world.fileBackupSet + 100000, unnamed));
}

// Requests of the roads that other parts of the service answer reach them: application mining without
// its media agent and live machine browse initialisation without its backup set each say what is
// missing.
TEST_F(RequestRoad, ApplicationRoadsSayWhatTheRequestLacks) {
    auto errorOf = [&](std::unique_ptr<EvMultiEntityRestoreTask>& task, databrowse::BrowseRequest* request,
                       std::shared_ptr<EvRecordingDestination>& destination) {
        return failureOf(task, destination, request).second;
    };

    std::shared_ptr<EvRecordingDestination> destination;
    auto mining = fileTask(destination, "/", "mining");
    databrowse::BrowseRequest miningRequest;
    miningRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true);
    // Application mining is served (tests/appbrowse/appmining_test.cpp): a request that names no media
    // agent says so.
    EXPECT_EQ(errorOf(mining, &miningRequest, destination), "MA not set for application mining.");

    auto live = fileTask(destination, "/", "live");
    databrowse::BrowseRequest liveRequest;
    liveRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::initMachineBrowse, 1);
    // Live machine browse initialisation is served: a request without its backup set says so.
    EXPECT_EQ(errorOf(live, &liveRequest, destination), "backupset id missing in the request");
    for (const char* session : {"mining", "live"}) expectNoReferences(session);
}

// Index prediction of an indexing-v1 browse: the index archive files of the request's cycles become
// locations whose media go to the caller as one prediction, once, at the end of the answer.
TEST_F(RequestRoad, IndexPredictionOfCycles) {
    std::shared_ptr<EvRecordingDestination> destination;
    auto task = fileTask(destination, "/", "prediction");
    ProbeWorker worker;
    ASSERT_EQ(worker.getBrowseTask()->initBrowse(task.get()), 1);
    fields(worker).heldConfId() = worker.getBrowseTask()->getDataPtr()->confId;
    std::vector<zydb::DbValue> row;
    ASSERT_EQ(
        hubdb::threadQueryFirstRow("SELECT f.id, f.kelmarchId FROM archFile f JOIN APP_Application a ON "
                                   "a.id = f.appId WHERE a.clientId = ? ORDER BY f.id LIMIT 1",
                                   {zydb::DbValue::ofInt(world.fileClient)}, row),
        zydb::DB_OK);
    Indexing::BackupCycle cycle;
    cycle.setint64(Indexing::BackupCycle::f::afile, row[0].asInt());
    cycle.setint64(Indexing::BackupCycle::f::kelmarchId, row[1].asInt());
    fields(worker).indexBrowseRequest().setlistobject(Indexing::BrowseReq::f::backupCycles, {cycle});
    ASSERT_EQ(fields(worker).predictionClient().init(task.get(), false), 0);
    ASSERT_EQ(fields(worker).predictor().init(&fields(worker).predictionClient(),
                                              worker.getBrowseTask()->getDataPtr()->restoreReturn),
              0);

    // Without the prediction option nothing is located, nothing sent.
    EXPECT_EQ(worker.doIndexPrediction(), 1);
    EXPECT_FALSE(fields(worker).predictionClient().haveLocationData());
    worker.getBrowseTask()->getDataPtr()->options |= 1ULL << 38;
    EXPECT_TRUE(worker.processEndMessage(nullptr));
    ASSERT_EQ(fields(worker).predictionClient().getIndexLocationListPtr()->size(), 1u);
    EXPECT_EQ(fields(worker).predictionClient().getIndexLocationListPtr()->front().flags, 2u);
    worker.getBrowseTask()->getDataPtr()->restoreReturn->dumpBuffer(9);
    const auto answers = answersOf(*destination);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].type, 1);
    EXPECT_FALSE(fields(worker).predictionClient().isIncompleteMediaList());
    expectNoReferences("prediction");
}

// The filter check: a criterion without a value is dropped, or refuses the filter when strict; a
// mailbox path confines every query.
TEST(FilterCheck, DropsRefusesAndConfines) {
    auto listOf = [](bool withBadCriterion) {
        databrowse::FilteredBrowseCriteriaValue good;
        good.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, 4);
        good.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {"x"});
        databrowse::Criteria goodCriterion, badCriterion;
        goodCriterion.setObjectAccessor(good, databrowse::Criteria::f::criteria);
        databrowse::Query query;
        query.setstring(databrowse::Query::f::queryId, "q");
        std::vector<CNMessageBase> criteria{goodCriterion};
        if (withBadCriterion) criteria.push_back(badCriterion);
        query.setlistobject(databrowse::Query::f::criteriaList, criteria);
        databrowse::Querylist list;
        list.setlistobject(databrowse::Querylist::f::queries, {query});
        return list;
    };
    auto criteriaOf = [](databrowse::Querylist& list) {
        return list.getlistobject(databrowse::Querylist::f::queries, false)
            ->front()
            .getlistobject(databrowse::Query::f::criteriaList, false);
    };
    std::string why;
    databrowse::Querylist lenient = listOf(true);
    EXPECT_TRUE(ParseQuery(&lenient, 29, false, "", false, why));
    EXPECT_EQ(criteriaOf(lenient)->size(), 1u);

    databrowse::Querylist strict = listOf(true);
    EXPECT_FALSE(ParseQuery(&strict, 29, false, "", true, why));
    EXPECT_NE(why.find("[q]"), std::string::npos) << why;

    databrowse::Querylist mailbox = listOf(false);
    EXPECT_TRUE(ParseQuery(&mailbox, 137, true, "\\MB\\user1*", true, why));
    ASSERT_EQ(criteriaOf(mailbox)->size(), 2u);
    CNMessageBase* first =
        criteriaOf(mailbox)->front().getObjectAccessor(databrowse::Criteria::f::criteria, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute), kCriteriaPathAttribute);
    EXPECT_EQ(*first->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false),
              std::vector<std::string>{"\\MB\\user1*"});
}
