// The indexing-V1 super-browse request as assembled by a worker over a seeded Hubmaster database: the
// browse values with their widths, flags, queries, additional flags, paths and identity, the planner's
// cycles and archives, the retention filters of the retention procedure, reference copies and Exchange,
// the media-prediction job id and the masked log text.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <memory>
#include <string>

#include "fbDebug/fbdebug.h"
#include "indexing/superbrowserequest.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_retention.h"
#include "platform/log/evdebug.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/xml_codec.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/tasks/extendedoptions.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/worker/workertester.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int kT0 = 1700000000;
constexpr int kDay = 86400;
constexpr long long kJobId = 990022;
using R = Indexing::BrowseReq::f;
using C = Indexing::BackupCycle::f;

// A worker whose super-browse steps a test runs one by one.
class AssemblyWorker : public CWorkerThreadHM {
public:
    using CWorkerThreadHM::applyNoPlannerRetention;
    using CWorkerThreadHM::assembleSuperBrowseRequest;
    using CWorkerThreadHM::dispatchRequest;
    using CWorkerThreadHM::logSuperBrowseRequest;
    using CWorkerThreadHM::tryPlannerMediaAgents;
    void setQueries(const std::vector<CNMessageBase>& queries) {
        fields(*this).queryList() = std::make_unique<databrowse::Querylist>();
        fields(*this).queryList()->setlistobject(databrowse::Querylist::f::queries, queries);
    }
    void setMediaAgent(const std::string& host, const std::string& client) {
        fields(*this).maHostName() = host;
        fields(*this).maClientName() = client;
    }
    databrowse::Querylist* queries() { return fields(*this).queryList().get(); }
};

std::vector<std::string> filterSummary(const std::vector<CNMessageBase>& filters) {
    std::vector<std::string> out;
    for (const CNMessageBase& f : filters) {
        auto& c = const_cast<CNMessageBase&>(f);
        CNMessageBase* v = c.getObjectAccessor(databrowse::Criteria::f::criteria, false);
        auto* values = v->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false);
        out.push_back(
            std::to_string(v->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute)) + "/" +
            std::to_string(v->getint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator)) + "/" +
            (values && !values->empty() ? values->front() : "") + "/" +
            std::to_string(c.getint64(databrowse::Criteria::f::c_79f44d)));
    }
    return out;
}

class SuperBrowseAssembly : public ::testing::Test {
protected:
    void SetUp() override {
        EvDebugFileInstance::setLogDirectory(dir.path());
        ZYPlatformInfo::setRegistryPath(dir.file("registry.ini"));
        seed = std::make_unique<hubdb::HubDbSeed>(dir.file("hub.db"));
        ASSERT_TRUE(seed->ok()) << seed->error();
        ma = seed->addMediaAgent({.name = "ma1", .zydPort = 8400}, "11.0 SP3b");
        sp = seed->addStoragePolicy("sp1", ma);
        client = seed->addClient({.name = "client1"});
        bs = seed->addBackupSet("bs1");
        sc1 = seed->addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc1", .storagePolicyId = sp});
        sc2 = seed->addSubclient(
            {.clientId = client, .appTypeId = 29, .backupSetId = bs, .name = "sc2", .storagePolicyId = sp});
        for (int d = 0; d < 2; ++d) {
            seed->addBackup(sc1, 1, kT0 + d * kDay, 2);
            seed->addBackup(sc1, 2, kT0 + d * kDay + 3600, 2);
        }
        recorder = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJobId, recorder);
    }
    void TearDown() override {
        worker.reset();
        planner.reset();
        EvReturnDestinations::unregisterDestination(kJobId);
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
        EvDebugFileInstance::setLogDirectory("");
    }
    void open() {
        std::string error;
        ASSERT_EQ(hubdb::openHubDatabase(seed->path(), &error), zydb::DB_OK) << error;
    }
    // A worker over sc1 whose planner has split [kT0, kT0 + 2 days].
    void makeWorker(bool withPlanner = true, unsigned long long options = 0) {
        open();
        worker = std::make_unique<AssemblyWorker>();
        worker->setWorkerId("4242");
        EvMultiEntityRestoreTask* task = worker->getPrivateTask();
        task->setTaskParameters(kJobId, 0, 0, options, 2, client, bs, 0, kT0 + 2 * kDay, kT0, 29, 1, 0,
                                0x0409);
        task->setSubClientId(sc1);
        task->setbrowseSessionGUID("session-1");
        task->addPath(EvRestoreTask::kBrowsePathList, "/home/docs");
        task->addPath(EvRestoreTask::kBrowsePathList, "/home/more");
        task->addPath(EvRestoreTask::kSecondPathList, "/second");
        TBrowseTask* bt = worker->getBrowseTask()->getDataPtr();
        bt->browseSessionGuid = task->getbrowseSessionGUID();
        bt->isSuperBrowse = 1;
        bt->browseViewName = "view1";
        bt->spareNumber = 0xFFFFFFF0u;
        bt->browseItemFlushCount = 77;
        bt->task = task;
        if (withPlanner) {
            planner = std::make_unique<SuperBrowseManager>(task);
            ASSERT_EQ(planner->split("/"), 0) << planner->getLastError();
            bt->planner = planner.get();
        }
        TInputData* in = worker->getInputData();
        in->requestNumber = 0x123456789ULL;
        in->jobId = 55;
        in->optionBits = 0x10;
        in->word5 = -5;
        in->word8 = -8;
        in->subclientId = static_cast<uint32_t>(sc1);
        in->appType = 29;
        in->toTime = kT0 + 2 * kDay;
        in->fromTime = kT0;
        in->browsePath = "/home/docs";
        in->string10 = "secret-value";
        in->value38 = 0x1234567800000009ULL;  // element 87: low 32 bits
        in->value49 = 0x1234567800000400ULL;  // element 98: all 64 bits
        in->clientId = static_cast<uint64_t>(client);
        in->indexAfileId1 = 0x100000001ULL;
        in->text11 = "refCopy=1;";
        worker->setMediaAgent("ma1*ma1*0*8400", "ma1");
    }

    TempDir dir;
    std::unique_ptr<hubdb::HubDbSeed> seed;
    std::shared_ptr<EvRecordingDestination> recorder;
    std::unique_ptr<AssemblyWorker> worker;
    std::unique_ptr<SuperBrowseManager> planner;
    int ma = 0, sp = 0, client = 0, bs = 0, sc1 = 0, sc2 = 0;
};

TEST_F(SuperBrowseAssembly, FieldsOfTheRequestCarryTheInputRecordAtTheirWidths) {
    makeWorker();
    databrowse::AdditionalFlag sync;
    sync.setint64(databrowse::AdditionalFlag::f::flagType, 3);
    sync.setstring(databrowse::AdditionalFlag::f::flagName, "sync");
    std::vector<databrowse::AdditionalFlag> flags{sync};
    worker->setAdditionalFlags(&flags);
    worker->getBrowseTask()->getDataPtr()->authToken = "tok-123";
    worker->getPrivateTask()->setextendedOptions(std::string(93, '0').append("11").c_str());
    TSuperBrowseRun run;
    run.hubmasterHost = "hub*hub";
    ASSERT_TRUE(worker->assembleSuperBrowseRequest(run));
    Indexing::BrowseReq& req = *worker->getIndexBrowseReq();

    EXPECT_EQ(req.getint64(R::requestNumber), 0x123456789LL);
    EXPECT_EQ(req.getint64(R::at5_5), -5);
    EXPECT_EQ(req.getint64(R::at8_8), -8);
    EXPECT_EQ(req.getint64(R::at32_41), 4294967295LL);
    EXPECT_EQ(req.getint64(R::at45_87), 9);
    EXPECT_EQ(req.getint64(R::at56_98), static_cast<int64_t>(0x1234567800000400ULL));
    EXPECT_EQ(req.getint64(R::indexAfileId1), 0x100000001LL);
    EXPECT_EQ(req.getint64(R::at72_117), 0xFFFFFFF0LL);
    EXPECT_EQ(req.getint64(R::flushCount), 77);
    EXPECT_EQ(req.getstring(R::password), "secret-value");
    EXPECT_EQ(req.getstring(R::viewName), "view1");
    EXPECT_EQ(req.getstring(R::browseSessionGuid), "session-1");
    EXPECT_EQ(req.getstring(R::hubmasterHost), "hub*hub");
    EXPECT_EQ(req.getstring(R::routerName), "BrowseRouter");
    // The worker id as it is: the decimal text the agent echoes.
    EXPECT_EQ(req.getstring(R::workerId), "4242");
    EXPECT_EQ(req.getstring(R::maName), "ma1*ma1*0*8400");
    EXPECT_EQ(req.getstring(R::maClientName), "ma1");
    EXPECT_FALSE(req.getstring(R::srcClientGuid).empty());

    // Options 93 and 94 together: element 7 is 2.
    CNMessageBase* browseFlags = req.getObjectAccessor(R::flags, false);
    ASSERT_NE(browseFlags, nullptr);
    EXPECT_EQ(browseFlags->getint64(Indexing::BrowseFlags::f::accuracy), 2);
    EXPECT_EQ(browseFlags->getint64(Indexing::BrowseFlags::f::superBrowse), 1);

    // The token flag stays first, the worker's flags follow.
    auto* additional = req.getlistobject(R::additionalFlags, false);
    ASSERT_NE(additional, nullptr);
    // The user's token stays at the Hubmaster.
    ASSERT_EQ(additional->size(), 1u);
    EXPECT_EQ((*additional)[0].getstring(databrowse::AdditionalFlag::f::flagName), "sync");

    auto* sources = req.getliststring(R::sourcePaths, false);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(*sources, (std::vector<std::string>{"/home/docs", "/home/more"}));
    EXPECT_EQ(*req.getliststring(R::at76_124, false), std::vector<std::string>{"/second"});

    // One backup cycle per planner cycle, with its client; index and data archives by job.
    auto* cycles = req.getlistobject(R::backupCycles, false);
    ASSERT_NE(cycles, nullptr);
    ASSERT_EQ(cycles->size(), planner->getCycles()->size());
    ASSERT_FALSE(cycles->empty());
    const SuperBrowse& first = planner->getCycles()->front();
    CNMessageBase& cycle = cycles->front();
    EXPECT_EQ(cycle.getint64(C::appId), sc1);
    EXPECT_EQ(cycle.getint64(C::afile), static_cast<int64_t>(first.afileId));
    EXPECT_EQ(cycle.getint64(C::toTime), first.toTime);
    EXPECT_EQ(cycle.getstring(C::clientName), "client1");
    EXPECT_EQ(cycle.getstring(C::ma), first.mediaAgentName);
    const auto indexArchives = planner->getIndexArchives();
    EXPECT_EQ(req.getlistobject(R::indexArchives, false)->size(), indexArchives.size());
    size_t expectedData = 0;
    for (const auto& index : indexArchives)
        for (const auto& data : planner->getDataArchives()) expectedData += data.r_jobId == index.r_jobId;
    EXPECT_EQ(req.getlistobject(R::dataArchives, false)->size(), expectedData);

    // The log text masks the password and the token; the request keeps them.
    const std::string logged = maskedIndexRequestText(req);
    EXPECT_EQ(logged.find("secret-value"), std::string::npos);
    EXPECT_EQ(logged.find("tok-123"), std::string::npos);
    EXPECT_EQ(worker->getBrowseReqXML(), &req);
}

TEST_F(SuperBrowseAssembly, EmptyPlanSendsEmptyListsAndAnUnreadableClientLeavesItsCycleOutWithAWarning) {
    makeWorker();
    planner->getCycles()->clear();
    TSuperBrowseRun empty;
    ASSERT_TRUE(worker->assembleSuperBrowseRequest(empty));
    EXPECT_TRUE(worker->getIndexBrowseReq()->getlistobject(R::backupCycles, false)->empty());

    makeWorker();
    ASSERT_GE(planner->getCycles()->size(), 1u);
    SuperBrowse orphan = planner->getCycles()->front();
    orphan.appId = 999999;
    orphan.cycleNumber = 9;
    planner->getCycles()->push_back(orphan);
    TSuperBrowseRun run;
    ASSERT_TRUE(worker->assembleSuperBrowseRequest(run));
    EXPECT_EQ(worker->getIndexBrowseReq()->getlistobject(R::backupCycles, false)->size(),
              planner->getCycles()->size() - 1);
    bool warned = false;
    for (const std::string& xml : recorder->payloads(EV_RETURN_RECORD_XML_ITEM))
        warned |= xml.find("respType=\"4\"") != std::string::npos &&
                  xml.find("cycle 9 of subclient 999999") != std::string::npos;
    EXPECT_TRUE(warned);
}

// A cycle's client, kept from request to request while the database stands still, is read again once
// it changed.
TEST_F(SuperBrowseAssembly, ACyclesClientIsReadAgainOnceTheDatabaseChanged) {
    makeWorker();
    const auto firstClientName = [&] {
        zydb::CRequestReads request;
        TSuperBrowseRun run;
        EXPECT_TRUE(worker->assembleSuperBrowseRequest(run));
        auto* cycles = worker->getIndexBrowseReq()->getlistobject(R::backupCycles, false);
        return cycles && !cycles->empty() ? cycles->front().getstring(C::clientName) : std::string();
    };
    EXPECT_EQ(firstClientName(), "client1");
    EXPECT_EQ(firstClientName(), "client1");
    hubdb::HubDbSeed(seed->path())
        .exec("UPDATE APP_Client SET name = 'renamed' WHERE id = ?", {zydb::DbValue::ofInt(client)});
    EXPECT_EQ(firstClientName(), "renamed");
}

TEST_F(SuperBrowseAssembly, MediaPredictionHashesTheSessionIntoAJobIdAboveThe32BitIds) {
    EXPECT_EQ(superBrowseJobIdHash(""), 4294967295ULL);
    for (const char* guid : {"a", "session-1", "\xff\xfe", "0000000000000000000000000000000000"}) {
        const uint64_t id = superBrowseJobIdHash(guid);
        EXPECT_GE(id, 4294967295ULL) << guid;
        EXPECT_LE(id, static_cast<uint64_t>(LLONG_MAX)) << guid;
    }
    makeWorker(true);
    worker->getInputData()->optionBits = 1ULL << 38;
    databrowse::Query data;
    data.setint64(databrowse::Query::f::type, 0);
    data.setstring(databrowse::Query::f::queryId, "items");
    databrowse::Query count;
    count.setint64(databrowse::Query::f::type, 1);
    worker->setQueries({count, data});
    TSuperBrowseRun run;
    ASSERT_TRUE(worker->assembleSuperBrowseRequest(run));
    Indexing::BrowseReq& req = *worker->getIndexBrowseReq();
    EXPECT_EQ(static_cast<uint64_t>(req.getint64(R::jobId)), superBrowseJobIdHash("session-1"));
    EXPECT_NE(static_cast<uint64_t>(req.getint64(R::options)) & (1ULL << 39), 0u);
    ASSERT_EQ(req.getlistobject(R::queries, false)->size(), 1u);
    EXPECT_EQ(req.getlistobject(R::queries, false)->front().getstring(databrowse::Query::f::queryId),
              "items");
}

TEST_F(SuperBrowseAssembly, RetentionRulesBecomeFiltersInEveryQuery) {
    {
        hubdb::RetentionSeed retention(*seed);
        ASSERT_EQ(retention.addRetentionRules(sc1, {.itemDeletionDays = 10,
                                                    .archivalDays = 20,
                                                    .numVersions = 3,
                                                    .keepDeletedItems = true,
                                                    .backupMode = true}),
                  0);
        ASSERT_EQ(retention.addReferenceCopy(sc2, 5, 2), 0);
    }
    makeWorker(false);
    databrowse::Query data;
    data.setint64(databrowse::Query::f::type, 0);
    worker->setQueries({data});
    TSuperBrowseRun run;
    run.retentionOn = true;
    worker->applyNoPlannerRetention(run);
    auto* queries = worker->queries()->getlistobject(databrowse::Querylist::f::queries, false);
    auto* criteria = queries->front().getlistobject(databrowse::Query::f::criteriaList, false);
    ASSERT_NE(criteria, nullptr);
    const auto filters = filterSummary(*criteria);
    ASSERT_EQ(filters.size(), 13u);
    const long long to = kT0 + 2 * kDay;
    EXPECT_EQ(filters[0], "99/4/1/1");
    EXPECT_EQ(filters[1], "97/4/1/1");
    EXPECT_EQ(filters[2], "62/4/" + std::to_string(to - 10LL * kDay) + "/1");
    EXPECT_EQ(filters[3], "98/4/0/1");
    EXPECT_EQ(filters[4], "74/4/" + std::to_string(to - 20LL * kDay) + "/1");
    EXPECT_EQ(filters[8], "69/4/3/1");
    EXPECT_EQ(filters[12], "64/10/deleted/0");

    // A reference-copy subclient: one cut-off by backup time; a subclient without the mark: none.
    const auto refCopyFilters = worker->getRefCopyFilters(sc2, false);
    const auto refCopy =
        filterSummary(std::vector<CNMessageBase>(refCopyFilters.begin(), refCopyFilters.end()));
    ASSERT_EQ(refCopy.size(), 1u);
    EXPECT_EQ(refCopy[0].substr(0, 5), "73/4/");
    EXPECT_TRUE(worker->getRefCopyFilters(sc1, false).empty());
    // An unknown subclient: the procedure refuses it and no filter is made.
    EXPECT_TRUE(worker->getRetentionFilters(987654, false).empty());

    // A day kind without an attribute still sends its cut-off, without one.
    {
        hubdb::RetentionSeed retention(*seed);
        ASSERT_EQ(retention.addReferenceCopy(sc1, 5, 3), 0);
    }
    const auto kindThree = worker->getRefCopyFilters(sc1, false);
    ASSERT_EQ(kindThree.size(), 1u);
    const CNMessageBase* value = const_cast<databrowse::Criteria&>(kindThree[0])
                                     .getObjectAccessor(databrowse::Criteria::f::criteria, false);
    EXPECT_FALSE(value->isSet(databrowse::FilteredBrowseCriteriaValue::f::attribute));
    EXPECT_EQ(filterSummary({kindThree[0]})[0].substr(0, 4), "0/4/");

    // A reply that cannot be read still gives the thirteen filters, from what the reply holds.
    App_ExecuteSP::registerProcedure(App::GetSubClientRetentionPropsReq::TAG, "unreadable",
                                     [](const std::string&, std::string& reply, void*) {
                                         reply = "<App_GetSubClientRetentionPropsResp";
                                         return 0;
                                     });
    const auto unreadable = worker->getRetentionFilters(sc1, false);
    hubdb::registerHubProcedures();  // the database's own procedure again
    ASSERT_EQ(unreadable.size(), 13u);
    const auto summary = filterSummary(std::vector<CNMessageBase>(unreadable.begin(), unreadable.end()));
    EXPECT_EQ(summary[2], "62/4/0/1");
    EXPECT_EQ(summary[12], "64/10/deleted/0");
}

// None of the planner's media agents answers: the caller is told which were tried.
TEST_F(SuperBrowseAssembly, UnreachableMediaAgentsAreNamed) {
    makeWorker();
    ASSERT_FALSE(planner->getSuperBrowseMa().empty());
    EXPECT_FALSE(worker->tryPlannerMediaAgents());
    EXPECT_NE(std::string(worker->getErrorMessage()).find("Could not reach media agent [ma1]"),
              std::string::npos)
        << worker->getErrorMessage();
}

// A browse that skips the content goes cycle by cycle: of a subclient's cycles only the last leads
// (over the whole range); the others are skipped. Each lead the media agent cannot take is a warning.
TEST_F(SuperBrowseAssembly, SkipContentDispatchesTheLeadCycles) {
    makeWorker();
    // Two more cycles of the subclient after the planned one, and one of another subclient.
    std::vector<SuperBrowse>& cycles = *planner->getCycles();
    ASSERT_EQ(cycles.size(), 1u);
    const SuperBrowse first = cycles.front();
    for (uint32_t n = 1; n <= 3; ++n) {
        SuperBrowse next = first;
        next.cycleNumber = first.cycleNumber + n;
        if (n == 3) next.appId = static_cast<uint32_t>(sc2);
        cycles.push_back(next);
    }
    TBrowseTask* bt = worker->getBrowseTask()->getDataPtr();
    bt->isSuperBrowse = 0;
    bt->skipContent = 1;
    EXPECT_FALSE(worker->dispatchRequest().ok());
    std::vector<std::string> warnings;
    for (const std::string& xml : recorder->payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse r;
        if (r.unserialize(xml) != 0 || r.getint64(databrowse::BrowseResponse::f::respType) != 4) continue;
        for (const CNMessageBase& e : *r.getlistobject(databrowse::BrowseResponse::f::messages, false))
            warnings.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
    }
    const std::string prefix = "Browse of backup cycle ";
    ASSERT_EQ(warnings.size(), 2u) << "the last cycle of each subclient";
    for (uint32_t k = 0; k < 2; ++k)
        EXPECT_EQ(warnings[k].rfind(prefix + std::to_string(first.cycleNumber + 2 + k) + " failed", 0), 0u)
            << warnings[k];
}

TEST_F(SuperBrowseAssembly, ExchangeRetentionTagsJoinTheExtendedOptions) {
    {
        hubdb::RetentionSeed retention(*seed);
        ASSERT_EQ(retention.addExchangeRetentionTag("TAG-A", 30), 0);
        ASSERT_EQ(retention.addExchangeRetentionTag("TAG-B", 60), 0);
    }
    makeWorker(false);
    worker->getInputData()->appType = 54;
    EXPECT_EQ(worker->getExchangeLegalHoldMailboxes(), "\\MB\\\\**");
    databrowse::GranularRetentionRules tags = worker->getExchangeRetentionTags();
    auto* list = tags.getlistobject(databrowse::GranularRetentionRules::f::at2_2, false);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ(list->front().getstring(databrowse::RetentionCriteriaTags::f::tagId), "TAG-A");

    TSuperBrowseRun run;
    run.retentionOn = true;
    ASSERT_TRUE(worker->assembleSuperBrowseRequest(run));
    CExtendedOptions options;
    ASSERT_EQ(options.setOptions(worker->getIndexBrowseReq()->getstring(R::extendedOptions)), 0);
    std::string xml, refCopy;
    ASSERT_TRUE(options.getOption("ContentRetentionCriteria", xml));
    EXPECT_NE(xml.find("TAG-B"), std::string::npos);
    ASSERT_TRUE(options.getOption("refCopy", refCopy));
    EXPECT_EQ(refCopy, "1");
}

TEST_F(SuperBrowseAssembly, AFailedPredictionOnlyRequestAnswersItsErrorBeforeTheEnd) {
    makeWorker();
    // No media agent to choose: the browse names none and is no super browse of several cycles.
    worker->getBrowseTask()->getDataPtr()->isSuperBrowse = 0;
    worker->getInputData()->optionBits = 1ULL << 38;
    worker->getBrowseTask()->getDataPtr()->options = 1ULL << 38;
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::predictVSADB, 1);
    worker->setBrowseReq(&request);
    worker->setAsyncMode(true);
    // The worker's predictor has no channel to write to, so the media found cannot be sent.
    ASSERT_TRUE(worker->superBrowse());
    EXPECT_FALSE(worker->getAsyncMode()) << "nothing answers later: the worker ends with its caller";
    std::vector<int64_t> types;
    for (const std::string& xml : recorder->payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        if (response.unserialize(xml) == 0)
            types.push_back(response.getint64(databrowse::BrowseResponse::f::respType));
    }
    EXPECT_EQ(types, (std::vector<int64_t>{3, 5}));
}

// A request of more than 99 source paths is logged whole only above debug level 1, and then masked.
TEST_F(SuperBrowseAssembly, LargeRequestsAreLoggedByTheirCountsBelowLevelTwo) {
    // A log of this test's own (in its folder) stands in for the service's log meanwhile.
    struct TOwnLog {
        EvDebugFileInstance file;
        EvDebugFileInstance* const service = g_pLogInstance;
        TOwnLog() {
            file.setup(0, 0, true, "superbrowse-log.log");
            g_pLogInstance = &file;
        }
        ~TOwnLog() { g_pLogInstance = service; }
    } own;
    EvDebugFileInstance* logFile = &own.file;
    auto logHas = [logFile](const std::string& text) {
        std::ifstream in(logFile->filePath());
        for (std::string line; std::getline(in, line);)
            if (line.find(text) != std::string::npos) return true;
        return false;
    };
    for (int level : {1, 2}) {
        makeWorker();
        for (int n = 0; n < 99 + level; ++n)
            worker->getPrivateTask()->addPath(
                EvRestoreTask::kBrowsePathList,
                ("/many/" + std::to_string(level) + "/" + std::to_string(n)).c_str());
        logFile->setDebugLevelOverride(level);
        TSuperBrowseRun run;
        ASSERT_TRUE(worker->assembleSuperBrowseRequest(run));
        worker->logSuperBrowseRequest();  // as the request goes out
        logFile->setDebugLevelOverride(-1);
        const std::string marker = "/many/" + std::to_string(level) + "/98";
        const std::string counts = "Request sent to MA with [" + std::to_string(101 + level) +
                                   "] source files and [" + std::to_string(planner->getCycles()->size()) +
                                   "] cycles";
        EXPECT_EQ(logHas(counts), level == 1) << level;
        EXPECT_EQ(logHas(marker), level == 2) << level;
    }
    EXPECT_FALSE(logHas("secret-value")) << "the password reached the log";
}

TEST(SuperBrowseLog, PasswordsOfNasLiveBrowseInformationAreCutToOneStar) {
    EXPECT_EQ(RemoveParam("<Password>abc</Password><Password>defgh</Password>", "<Password>", "</Password>"),
              "<Password>*</Password><Password>*</Password>");
    EXPECT_EQ(RemoveParam("<Password>open", "<Password>", "</Password>"), "<Password>open");
    Indexing::BrowseReq request;
    request.setstring(R::extendedOptions, "Nas_Live_Browse_Info=<Epassword>xyz</Epassword>");
    request.setstring(R::password, "pw");
    const std::string text = maskedIndexRequestText(request);
    EXPECT_EQ(text.find("xyz"), std::string::npos);
    EXPECT_EQ(text.find(">pw<"), std::string::npos);
    EXPECT_EQ(request.getstring(R::password), "pw");
}

// The log line made from the text that went out is the one made by writing the request again: a
// password, a token flag and NAS live-browse passwords masked alike, whatever the request holds.
TEST(SuperBrowseLog, TheTextThatWentOutIsLoggedAsTheRequestWouldBe) {
    auto tokenFlag = [] {
        databrowse::AdditionalFlag flag;
        flag.setstring(databrowse::AdditionalFlag::f::flagName, "token");
        flag.setstring(databrowse::AdditionalFlag::f::value, "tok-123");
        return flag;
    };
    for (int form = 0; form < 8; ++form) {
        Indexing::BrowseReq request;
        request.setstring(R::userText, "admin");
        if (form & 1) request.setstring(R::password, form & 4 ? "" : "pw\"<&>");
        if (form & 2) request.setlistobject(R::additionalFlags, std::vector<CNMessageBase>{tokenFlag()});
        if (form & 4) request.setstring(R::extendedOptions, "Nas_Live_Browse_Info=<Password>xyz</Password>");
        std::string sent;
        XMLEncoder writer;
        ASSERT_EQ(writer.serialize(request, sent), MSG_OK);
        ASSERT_FALSE(writer.wroteSecret());
        const std::string logged = maskedIndexRequestText(request, &sent);
        EXPECT_EQ(logged, maskedIndexRequestText(request)) << form;
        EXPECT_EQ(logged.find("pw"), std::string::npos) << form;
        EXPECT_EQ(logged.find("tok-123"), std::string::npos) << form;
        EXPECT_EQ(logged.find("xyz"), std::string::npos) << form;
    }
}

}  // namespace
