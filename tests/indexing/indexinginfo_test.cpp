// The indexing information of an indexing-V2 request over seeded databases: the media agent chosen by
// majority, subclients and retention sub-queries by the user's rights, the failures (no cycles, no
// browsable database), jobs to validate, the cross-cycle rule by service pack, a missing NAS plug-in,
// and the index server of a subclient-index backup set.
#include "indexing/indexinginfo.h"

#include <algorithm>

#include "indexing/superbrowserequest.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/familiesb_procs.h"
#include "tests/indexing/indexingworld.h"

namespace {

using indexingtest::IndexingWorld;
using indexingtest::kAppType;
using indexingtest::kDay;
using indexingtest::kT0;

std::string mediaAgentOf(CNMessageBase* database) {
    return database ? database->getstring(databrowse::IndexDBInfo::f::mediaAgentName) : "";
}

// The index server a planner cycle of subclient `n` (1-based) names.
std::string cycleServer(SuperBrowseManager& planner, const std::string& guid) {
    for (const SuperBrowse& c : *planner.getCycles())
        if (c.indexDbId == guid) return c.mediaAgentName;
    return "";
}

TEST_F(IndexingWorld, MajorityOfCyclesChoosesTheMediaAgentAndEveryDatabaseIsListed) {
    perSubclientIndexes({"idxA", "idxB", "idxB"});
    fullBackups();
    open();
    makeWorker();
    const std::string b = cycleServer(*planner, subclientGuid(3));
    ASSERT_FALSE(b.empty());

    ASSERT_EQ(worker->populateIndexingInfo(false, true), 0) << worker->getErrorMessage();
    CNMessageBase* chosen = chosenDatabase();
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(mediaAgentOf(chosen), b);
    // The chosen database is the cycle that made B the majority: the third subclient's.
    EXPECT_EQ(chosen->getObjectAccessor(databrowse::IndexDBInfo::f::indexDb, false)
                  ->getstring(databrowse::Msg87::f::dbName),
              subclientGuid(3));
    EXPECT_EQ(routing()->getstring(databrowse::IndexingInfo::f::mediaAgentName), b);
    EXPECT_EQ(routing()->getlistobject(databrowse::IndexingInfo::f::indexDbList, false)->size(), 3u);
    EXPECT_EQ(subclientIds(), (std::vector<int64_t>{subclients[0], subclients[1], subclients[2]}));
    EXPECT_EQ(planner->getSelectedMA(), b);
    EXPECT_EQ(planner->getSelectedDbId(), backupSetGuid + ":" + subclientGuid(3));
    EXPECT_NE(std::string(worker->getInputData()->text11).find("SubClientIndex=1"), std::string::npos);

    // The entity names the backup set and its Kelmarch.
    CNMessageBase* entity =
        worker->getBrowseReqV2()->getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    EXPECT_EQ(entity->getstring(ZyEntities::GenericEntity::f::backupsetGUID), backupSetGuid);
    EXPECT_EQ(entity->getint64(ZyEntities::GenericEntity::f::kelmarchId), 2);
}

TEST_F(IndexingWorld, RightsDecideSubclientsWhileRetentionCoversEveryOneAndATieKeepsTheFirst) {
    perSubclientIndexes({"idxA", "idxB", "idxB"});
    fullBackups();
    const int user = addUser("user");
    grantBrowse(user, subclients[0]);
    grantBrowse(user, subclients[2]);
    open();
    makeWorker(user);
    const std::string a = cycleServer(*planner, subclientGuid(1));

    ASSERT_EQ(worker->populateIndexingInfo(true, true), 0) << worker->getErrorMessage();
    EXPECT_EQ(subclientIds(), (std::vector<int64_t>{subclients[0], subclients[2]}));
    // The second subclient's database is passed over: A and B once each, and the tie keeps A.
    EXPECT_EQ(mediaAgentOf(chosenDatabase()), a);
    EXPECT_EQ(routing()->getlistobject(databrowse::IndexingInfo::f::indexDbList, false)->size(), 2u);
    auto* queries = worker->getQueryList()->getlistobject(databrowse::Querylist::f::queries, false);
    ASSERT_NE(queries, nullptr);
    ASSERT_EQ(queries->size(), 3u);
    for (size_t n = 0; n < 3; ++n) {
        EXPECT_EQ((*queries)[n].getint64(databrowse::Query::f::type), 4);
        EXPECT_EQ((*queries)[n].getstring(databrowse::Query::f::queryId),
                  "retention-subquery:" + subclientGuid(static_cast<int>(n) + 1));
    }
}

TEST_F(IndexingWorld, FailuresLeaveTheirCodes) {
    // No subclient index, no backups, no planner: nothing to browse (code 2).
    open();
    makeWorker(0, kT0 + kDay, false);
    EXPECT_EQ(worker->populateIndexingInfo(false, true), -1);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
    EXPECT_NE(std::string(worker->getErrorMessage()), "");
}

TEST_F(IndexingWorld, AUserWhoMayBrowseNoDatabaseIsRefused) {
    perSubclientIndexes({"idxA", "idxB", "idxB"});
    fullBackups();
    const int user = addUser("nobody");
    open();
    makeWorker(user);
    EXPECT_EQ(worker->populateIndexingInfo(false, true), -1);
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_PERMISSION);
    EXPECT_EQ(chosenDatabase(), nullptr);
}

// Validation of data archive files lists the jobs of the index files: never a running job's, an aged
// one only with the partial-index option.
TEST_F(IndexingWorld, JobsToValidateLeaveOutRunningAndAgedJobs) {
    perSubclientIndexes({"idxA", "idxA", "idxA"});
    fullBackups();
    const auto aged = seed->addBackup(subclients[0], 2, kT0 + 3600, 1);
    seed->ageArchFile(aged.indexFile, 1);
    const auto running = seed->addBackup(subclients[1], 2, kT0 + 7200, 1, true, true);
    open();

    auto jobsSent = [&](bool partialIndex) {
        makeWorker(0, kT0 + kDay);
        worker->getBrowseReqV2()
            ->getObjectAccessor(databrowse::BrowseRequest::f::options, true)
            ->setint64(databrowse::BrowseOptions::f::partialIndex, partialIndex ? 1 : 0);
        // A time-range browse of a backup set in use: validation is asked.
        EXPECT_EQ(worker->populateIndexingInfo(false, false), 0) << worker->getErrorMessage();
        std::vector<int64_t> ids;
        CNMessageBase* advanced =
            worker->getBrowseReqV2()->getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false);
        EXPECT_EQ(advanced->getint64(databrowse::Msg63::f::validateDataArchFiles), partialIndex ? 0 : 1);
        auto* flags = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                          ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
                          ->getlistobject(databrowse::Msg9::f::additionalFlags, true);
        for (const CNMessageBase& f : *flags) {
            if (f.getint64(databrowse::AdditionalFlag::f::flagType) != 9) continue;
            databrowse::JobInfoList list;
            EXPECT_EQ(list.unserialize(f.getstring(databrowse::AdditionalFlag::f::value)), 0);
            for (const CNMessageBase& j : *list.getlistobject(databrowse::JobInfoList::f::jobs, true))
                ids.push_back(j.getint64(databrowse::JobInfo::f::jobId));
        }
        return ids;
    };
    const std::vector<int64_t> validated = jobsSent(false);
    EXPECT_EQ(validated.size(), 3u);
    EXPECT_EQ(std::count(validated.begin(), validated.end(), aged.jobId), 0);
    EXPECT_EQ(std::count(validated.begin(), validated.end(), running.jobId), 0);
    // With the partial index no validation is asked, so no job list goes out.
    EXPECT_TRUE(jobsSent(true).empty());
}

// Cross-cycle ranges (and serving from the backup set's index) need index servers at service pack 22.
class CrossCycle : public IndexingWorld, public ::testing::WithParamInterface<int> {};

TEST_P(CrossCycle, ServeFromBackupSetOnlyFromServicePack22) {
    perSubclientIndexes({"idxA", "idxA", "idxA"}, GetParam());
    fullBackups();
    const long long agent = seed->insertRow("APP_IDAName", {{"clientId", hubdb::seedvalues::I(client)},
                                                            {"appTypeId", hubdb::seedvalues::I(kAppType)}});
    // Subclient index switched on after the browse time: the backup set's own index serves it.
    seed->addProperty("APP_IDAProp", {.ownerId = static_cast<int>(agent),
                                      .name = "Subclient Index",
                                      .value = "1",
                                      .created = kT0 + 2 * kDay});
    open();
    makeWorker(0, kT0 + kDay);
    ASSERT_EQ(worker->populateIndexingInfo(false, false), 0) << worker->getErrorMessage();
    const std::string options = worker->getInputData()->text11;
    EXPECT_NE(options.find(GetParam() >= 22 ? "ServeBrowseFromBackupset=1" : "ServeBrowseFromBackupset=0"),
              std::string::npos)
        << options;
}
INSTANTIATE_TEST_SUITE_P(ServicePacks, CrossCycle, ::testing::Values(21, 22));

TEST_F(IndexingWorld, AMissingNasPluginCostsOnlyTheMountParameters) {
    perSubclientIndexes({"idxA", "idxA", "idxA"});
    fullBackups();
    open();
    makeWorker();
    worker->getInputData()->appType = 13;
    worker->getInputData()->optionBits = 0x200;
    ASSERT_EQ(worker->populateIndexingInfo(false, true), 0) << worker->getErrorMessage();
    EXPECT_EQ(subclientIds().size(), 3u);
    EXPECT_NE(chosenDatabase(), nullptr);
}

TEST_F(IndexingWorld, ActiveSubclientNamesTheIndexServerOfAnEnabledSubclient) {
    perSubclientIndexes({"idxA", "idxB", "idxB"});
    for (int sc : subclients)
        seed->addSubclientProperty(sc, hubdb::activityControlProperty(4), sc == subclients[1] ? "0" : "1");
    open();
    makeWorker();
    const std::string b = cycleServer(*planner, subclientGuid(2));
    CUxError found = worker->GetActiveSubclient(kAppType, bs, backupSetGuid);
    EXPECT_FALSE(found.IsError()) << found.GetErrorText();
    EXPECT_EQ(mediaAgentOf(chosenDatabase()), b);

    // Every subclient disabled: the configuration error, and no index server in the request.
    seed->changeProperty("APP_SubClientProp", subclients[1], hubdb::activityControlProperty(4), "1",
                         kT0 + kDay);
    makeWorker();
    CUxError missing = worker->GetActiveSubclient(kAppType, bs, backupSetGuid);
    EXPECT_TRUE(missing.IsError());
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_REQUEST_PROCESSING);
    EXPECT_EQ(chosenDatabase(), nullptr);
}

}  // namespace

namespace {

// The V2 completion of a prepared request: the routing block, the time of a query's criterion, the
// client's OS type; and the refusals of an OS that cannot be read and of an index-log request without
// names.
class V2Completion : public IndexingWorld {
protected:
    void SetUp() override {
        IndexingWorld::SetUp();
        perSubclientIndexes({"idxA", "idxA", "idxA"}, 20);  // below service pack 22: the plain request
        fullBackups();
    }
    bool complete(TSuperBrowseRun run = {}) {
        run.hubmasterHost = "hub*hub";
        worker->setWorkerId("w7");
        return worker->completeV2BrowseRequest(run);
    }
    // A kind-0 query whose criterion names the time attribute with `op`.
    static databrowse::Query timeQuery(int64_t op, int64_t time) {
        databrowse::Query query;
        query.setint64(databrowse::Query::f::type, 0);
        query.setlistobject(databrowse::Query::f::criteriaList,
                            {makeBrowseCriteria(1, 92, op, std::to_string(time))});
        return query;
    }
};

TEST_F(V2Completion, RoutingTimesAndTheClientsOsType) {
    seed->exec("INSERT INTO simOperatingSystem (id, name, platform) VALUES (77, 'Windows 10 Pro', 1)");
    seed->exec("UPDATE APP_Client SET simOperatingSystemId = 77 WHERE id = ?",
               {hubdb::seedvalues::I(client)});
    open();
    makeWorker();
    TInputData* in = worker->getInputData();
    in->appType = 33;
    in->clientId = static_cast<uint64_t>(client);
    in->jobId = 4242;
    worker->getBrowseReqV2()
        ->getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::synthFullBrowse, 1);
    databrowse::Querylist queries;
    queries.setlistobject(databrowse::Querylist::f::queries, {timeQuery(3, kT0 - 500)});
    worker->setQueries(queries);

    ASSERT_TRUE(complete()) << worker->getErrorMessage();
    CNMessageBase* r = routing();
    EXPECT_EQ(r->getstring(databrowse::IndexingInfo::f::hubmasterHost), "hub*hub");
    EXPECT_EQ(r->getstring(databrowse::IndexingInfo::f::routerName), "BrowseRouter");
    EXPECT_EQ(r->getstring(databrowse::IndexingInfo::f::workerId), "w7");
    EXPECT_EQ(r->getint64(databrowse::IndexingInfo::f::jobId), 4242);
    EXPECT_NE(r->getstring(databrowse::IndexingInfo::f::extendedOptions).find("ClientOSType=Desktop"),
              std::string::npos);
    const CNMessageBase* times =
        worker->getBrowseReqV2()->getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    EXPECT_EQ(times->getint64(databrowse::BrowseTimeRange::f::fromTime), kT0 - 500);
    EXPECT_EQ(worker->getBrowseReqXML(), worker->getBrowseReqV2());
}

// The request's own flags of the run reach the media agent's flags block, each where it was set.
TEST_F(V2Completion, RunFlagsBecomeTheRoutingFlags) {
    open();
    makeWorker();
    TSuperBrowseRun run;
    run.flags.setint64(Indexing::BrowseFlags::f::at4_4, 1);
    run.flags.setint64(Indexing::BrowseFlags::f::mergeResults, 1);
    ASSERT_TRUE(complete(run)) << worker->getErrorMessage();
    CNMessageBase* flags = routing()->getObjectAccessor(databrowse::IndexingInfo::f::browseFlags, false);
    ASSERT_NE(flags, nullptr);
    EXPECT_EQ(flags->getint64(databrowse::BrowseFlags::f::at4_4), 1);
    EXPECT_EQ(flags->getint64(databrowse::BrowseFlags::f::mergeResults), 1);
    EXPECT_FALSE(flags->isSet(databrowse::BrowseFlags::f::retention));
    EXPECT_FALSE(flags->isSet(databrowse::BrowseFlags::f::superBrowse));
}

TEST_F(V2Completion, UnreadableOsAndNamelessIndexLogRequestsAreRefused) {
    open();
    makeWorker();
    worker->getInputData()->appType = 33;
    worker->getInputData()->clientId = 999999;  // no such client: no OS to read
    worker->getBrowseReqV2()
        ->getObjectAccessor(databrowse::BrowseRequest::f::options, true)
        ->setint64(databrowse::BrowseOptions::f::synthFullBrowse, 1);
    EXPECT_FALSE(complete());

    makeWorker();
    databrowse::BrowseRequest* request = worker->getBrowseReqV2();
    request->setint64(databrowse::BrowseRequest::f::opType, 11);
    CNMessageBase* logs = request->getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
                              ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                              ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::at5_5, true)
                              ->getObjectAccessor(databrowse::Msg38::f::at2_2, true);
    logs->setlistobject(databrowse::Msg29::f::at1_1, {databrowse::IdxLogRequestEntry()});
    EXPECT_FALSE(complete());
    EXPECT_EQ(worker->getErrorId(), databrowse::BROWSE_ERR_GENERIC);
    EXPECT_NE(std::string(worker->getErrorMessage()), "");
}

}  // namespace

namespace {

// A parent VM browse (the root of a VM-indexed backup set) confines every query to the backup set's
// virtual machines: one criterion per VM GUID in each query.
TEST_F(IndexingWorld, ParentVmBrowseAddsOneCriterionPerVmToEachQuery) {
    perSubclientIndexes({"idxA", "idxA", "idxA"});
    fullBackups();
    seed->addProperty("APP_BackupSetProp", {.ownerId = bs, .name = "Indexing App Type", .value = "200107"});
    hubdb::RowSeed rows(*seed);
    std::vector<int> vms;
    for (const char* name : {"vm1", "vm2"})
        vms.push_back(
            rows.addVirtualMachine({.parentBackupSetId = bs, .name = name, .storagePolicyId = sp}).clientId);
    open();
    makeWorker(0, kT0 + kDay, false);
    std::string options(200, '0');
    options[107] = '1';  // the caller asks for indexing V2
    worker->getPrivateTask()->setextendedOptions(options.data());
    planner = std::make_unique<SuperBrowseManager>(worker->getPrivateTask());
    ASSERT_EQ(planner->split2("\\"), 0);
    ASSERT_TRUE(planner->isIndexingV2());
    ASSERT_EQ(planner->getIdxAppType(), apptype::kVmIndex);
    worker->getBrowseTask()->getDataPtr()->planner = planner.get();
    databrowse::Querylist queries;
    databrowse::Query query;
    query.setint64(databrowse::Query::f::type, 0);
    queries.setlistobject(databrowse::Querylist::f::queries, {query, query});
    worker->setQueries(queries);

    ASSERT_EQ(worker->populateIndexingInfo(false, true), 0) << worker->getErrorMessage();
    for (const CNMessageBase& q :
         *worker->getQueryList()->getlistobject(databrowse::Querylist::f::queries, false)) {
        std::vector<std::string> values;
        auto* criteria =
            const_cast<CNMessageBase&>(q).getlistobject(databrowse::Query::f::criteriaList, false);
        ASSERT_NE(criteria, nullptr);
        for (const CNMessageBase& c : *criteria) {
            CNMessageBase* v =
                const_cast<CNMessageBase&>(c).getObjectAccessor(databrowse::Criteria::f::criteria, false);
            EXPECT_EQ(v->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute), 80);
            EXPECT_EQ(v->getint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator), 5);
            values.push_back(
                v->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false)->front());
        }
        // The VMs are named by their clients' GUIDs.
        std::vector<std::string> want;
        for (int vm : vms) {
            std::string guid;
            ASSERT_EQ(ZYClient(static_cast<unsigned long>(vm)).getGUIDStr(guid), 0);
            want.push_back("\\" + guid);
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(values, want);
    }
}

}  // namespace
