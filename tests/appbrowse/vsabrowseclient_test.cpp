// The VM browse client over the demo hypervisor (kept in the per-VM layout since its switch): whole
// requests through the controller into a recording channel. The root listed from the database, a read
// error failing the listing, a VM re-submitted as its own request (seen by a recording worker) with its
// parent ending with it, media prediction merged across the VMs' shared media, and the merge itself.
#include "appbrowse/vsabrowseclient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "planning/confmgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/appbrowse/vsademo.h"
#include "tests/support/answers/browseanswers.h"
#include "tests/support/archive/archmgr_faults.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr long kDay = 86400;
constexpr long long kGiB = 1LL << 30;
using R = databrowse::BrowseRequest::f;

// A worker that, for a request of a VM's own client, records what it was handed and answers nothing.
class RecordingWorker : public CWorkerThreadHM {
public:
    RecordingWorker(long vmClientFloor,
                    std::vector<std::pair<EvMultiEntityRestoreTask, databrowse::BrowseRequest>>* seen)
        : m_floor(vmClientFloor), m_seen(seen) {}
    bool newRequest(EvMultiEntityRestoreTask* task) override {
        if (task->getClientId() < m_floor) return CWorkerThreadHM::newRequest(task);
        m_seen->emplace_back(*task, *getBrowseReqV2());
        return true;
    }

private:
    long m_floor;
    std::vector<std::pair<EvMultiEntityRestoreTask, databrowse::BrowseRequest>>* m_seen;
};

using hubtest::TAnswer;

class VsaBrowseClient : public VsaDemo {
protected:
    void SetUp() override {
        VsaDemo::SetUp();
        cache = std::make_unique<CConfigurationMgr>();
        savedCache = g_poConfMgr;
        g_poConfMgr = cache.get();
        static std::atomic<int> n{0};
        CControllerThreadHM::TOptions options;
        options.stopEventName = "vsa-client-" + std::to_string(getpid()) + "-" + std::to_string(++n);
        controller = std::make_unique<CControllerThreadHM>(options);
        savedController = g_poControllerThreadHM;
        g_poControllerThreadHM = controller.get();
        firstVmClient = hv.vms.front().clientId;
        for (const auto& vm : hv.vms) firstVmClient = std::min<long>(firstVmClient, vm.clientId);
    }
    void TearDown() override {
        hubtest::clearArchMgrFaults();
        g_poControllerThreadHM = savedController;
        controller.reset();
        g_poConfMgr = savedCache;
        cache.reset();
        for (long long job : jobs) EvReturnDestinations::unregisterDestination(job);
        VsaDemo::TearDown();
    }

    // A browse of the hypervisor's backup set by the administrator after the switch to V2.1.
    std::unique_ptr<EvMultiEntityRestoreTask> task(
        std::vector<std::string> paths, databrowse::BrowseOperation op = databrowse::BROWSE_OP_BROWSE) {
        const long long job = 8800 + static_cast<long long>(jobs.size());
        jobs.push_back(job);
        destination = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(job, destination);
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, world.adminUser, 0, 2, hv.client,
                             hv.backupSet, 0, static_cast<long>(hv.backupTimes.back()) + kDay, 0, 106,
                             hv.instance, 0, 0);
        t->setUserName("admin");
        t->setBrowseOpType(op);
        for (const std::string& p : paths) t->addPath(EvRestoreTask::kBrowsePathList, p.c_str());
        return t;
    }
    databrowse::BrowseRequest request(databrowse::BrowseOperation op = databrowse::BROWSE_OP_BROWSE) {
        databrowse::BrowseRequest r;
        r.setint64(R::opType, op);
        CNMessageBase* e = r.getObjectAccessor(R::entity, true);
        e->setint64(ZyEntities::GenericEntity::f::clientId, hv.client);
        e->setint64(ZyEntities::GenericEntity::f::backupsetId, hv.backupSet);
        e->setint64(ZyEntities::GenericEntity::f::applicationId, 106);
        r.getObjectAccessor(R::timeRange, true)
            ->setint64(databrowse::BrowseTimeRange::f::toTime, hv.backupTimes.back() + kDay);
        return r;
    }
    bool run(EvMultiEntityRestoreTask& t, databrowse::BrowseRequest& r) {
        return controller->newRequest(&t, false, false, databrowse::FORCE_USE_INDEX_NONE, &r);
    }
    std::vector<TAnswer> answers() { return hubtest::responsesOf(*destination); }
    // The errors the caller was sent, for failure messages.
    std::string errorsText() {
        std::string text;
        for (const TAnswer& a : answers())
            for (const auto& e : a.errors) text += "[" + e.second + "] ";
        return text;
    }
    std::vector<int64_t> types() {
        std::vector<int64_t> out;
        for (const TAnswer& a : answers()) out.push_back(a.type);
        return out;
    }

    std::unique_ptr<CConfigurationMgr> cache;
    CConfigurationMgr* savedCache = nullptr;
    std::unique_ptr<CControllerThreadHM> controller;
    CControllerThreadHM* savedController = nullptr;
    std::vector<long long> jobs;
    std::shared_ptr<EvRecordingDestination> destination;
    long firstVmClient = 0;
};

TEST_F(VsaBrowseClient, RootListsEveryVmFromTheDatabaseThenEnds) {
    auto t = task({"\\"});
    databrowse::BrowseRequest r = request();
    ASSERT_TRUE(run(*t, r)) << errorsText();
    const auto got = answers();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].type, 5);
    ASSERT_EQ(got[0].type, 0);
    ASSERT_EQ(got[0].items.size(), hv.vms.size());
    for (size_t v = 0; v < hv.vms.size(); ++v) {  // in client order, which is the order they were made
        CNMessageBase& item = const_cast<CNMessageBase&>(got[0].items[v]);
        using D = databrowse::BrowseData::f;
        EXPECT_EQ(item.getstring(D::name), hv.vms[v].guid);
        EXPECT_EQ(item.getstring(D::path), "\\" + hv.vms[v].guid);
        EXPECT_EQ(item.getint64(D::size), world.vmBrowse.vmSizes[v]);
        EXPECT_EQ(
            item.getObjectAccessor(D::flags, false)->getint64(databrowse::BrowseItemFlags::f::directory), 1);
        CNMessageBase* advanced = item.getObjectAccessor(D::advancedData, false);
        EXPECT_EQ(advanced->getint64(databrowse::Msg93::f::c_938d16), hv.jobs.back()[v + 1]);
        EXPECT_EQ(item.getint64(D::modificationTime), advanced->getint64(databrowse::Msg93::f::backupTime));
        CNMessageBase* vm = advanced->getObjectAccessor(databrowse::Msg93::f::subclientEntity, false);
        EXPECT_EQ(vm->getint64(ZyEntities::Msg10::f::clientId), hv.vms[v].clientId);
        EXPECT_EQ(vm->getint64(ZyEntities::Msg10::f::subclientId), hv.vms[v].subclientId);
        EXPECT_EQ(vm->getint64(ZyEntities::Msg10::f::backupsetId), hv.vms[v].childBackupSetId);
        EXPECT_EQ(vm->getint64(ZyEntities::Msg10::f::instanceId), hv.vmInstances[v]);
        EXPECT_EQ(advanced->getObjectAccessor(databrowse::Msg93::f::idxMetaData, false)
                      ->getObjectAccessor(IdxMetadata::IdxMetaData::f::at17_17, false)
                      ->getint64(IdxMetadata::Msg38::f::osId),
                  hv.vmOsIds[v]);
    }
    EXPECT_EQ(controller->getWorkerCount(), 0u);

    // A window after the last backup: no VM, an empty listing and the end.
    auto empty = task({""});
    empty->setFromTime(static_cast<long>(hv.backupTimes.back()) + 60);
    databrowse::BrowseRequest er = request();
    ASSERT_TRUE(run(*empty, er));
    const auto none = answers();
    ASSERT_EQ(none.size(), 2u);
    EXPECT_EQ(none[0].type, 0);
    EXPECT_TRUE(none[0].items.empty());
    EXPECT_EQ(none[1].type, 5);

    // Before the switch to V2.1 the backup set is not browsed from the database.
    auto before = task({"\\"});
    before->setToTime(static_cast<long>(world.vmBrowse.usingV21Since) - 60);
    CWorkerThreadHM probe;
    EXPECT_FALSE(probe.IsVMCentricBrowseFromParent(before.get()));
    EXPECT_TRUE(probe.IsVMCentricBrowseFromParent(t.get()));
}

TEST_F(VsaBrowseClient, RootListingThatCannotBeReadFails) {
    // The listing of one hypervisor subclient reads the job links; without them the list is unreadable.
    exec("ALTER TABLE JMJobDataLink RENAME TO JMJobDataLinkGone");
    auto t = task({"\\"});
    databrowse::BrowseRequest r = request();
    r.getObjectAccessor(R::entity, false)->setint64(ZyEntities::GenericEntity::f::subclientId, hv.subclient);
    EXPECT_FALSE(run(*t, r));
    const auto got = answers();
    ASSERT_FALSE(got.empty());
    for (const TAnswer& a : got) EXPECT_NE(a.type, 0) << "no partial listing";
    EXPECT_EQ(got.front().type, 3);
    ASSERT_EQ(got.front().errors.size(), 1u);
    EXPECT_NE(got.front().errors[0].second.find("Unable to list the virtual machines"), std::string::npos);
    EXPECT_EQ(controller->getWorkerCount(), 0u);
}

TEST_F(VsaBrowseClient, OneVmIsResubmittedAsItsOwnRequest) {
    std::vector<std::pair<EvMultiEntityRestoreTask, databrowse::BrowseRequest>> seen;
    controller->setWorkerFactory([&] { return std::make_shared<RecordingWorker>(firstVmClient, &seen); });
    // Two VMs named: the first path's VM is the one browsed, cut by its own GUID.
    const std::string path = "\\" + hv.vms[0].guid + "\\disk1\\folder";
    auto t = task({path, "\\" + hv.vms[1].guid + "\\x"}, databrowse::BROWSE_OP_FIND);
    databrowse::BrowseRequest r = request(databrowse::BROWSE_OP_FIND);
    r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::at3_3, 1);
    CNMessageBase* settings = r.getObjectAccessor(R::advOptions, true)
                                  ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true);
    CNMessageBase* job = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true);
    job->setint64(databrowse::Msg11::f::jobId, hv.jobs[3][0]);
    job->setint64(databrowse::Msg11::f::kelmarchId, 2);
    databrowse::Query query;
    query.setstring(databrowse::Query::f::queryId, "q");
    std::vector<CNMessageBase> criteria;
    for (const char* value : {"viewlink", "other"}) {
        databrowse::Criteria c;
        CNMessageBase* v = c.getObjectAccessor(databrowse::Criteria::f::criteria, true);
        v->setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, 38);
        v->setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {value});
        criteria.push_back(c);
    }
    query.setlistobject(databrowse::Query::f::criteriaList, criteria);
    r.setlistobject(R::queries, {query});
    ASSERT_TRUE(run(*t, r)) << errorsText();
    ASSERT_EQ(seen.size(), 1u);
    EvMultiEntityRestoreTask& child = seen[0].first;
    databrowse::BrowseRequest& cr = seen[0].second;
    EXPECT_EQ(child.getClientId(), hv.vms[0].clientId);
    EXPECT_EQ(child.getBackupSetId(), hv.vms[0].childBackupSetId);
    EXPECT_EQ(child.getInstanceId(), hv.vmInstances[0]);
    EXPECT_EQ(child.getSubClientId(), -1);
    EXPECT_EQ(child.getJobId(), t->getJobId());
    EXPECT_TRUE(child.isSet(59));  // live browse asked by option element 3
    auto* paths = cr.getlistobject(R::paths, false);
    ASSERT_TRUE(paths && paths->size() == 1);
    // The VM's own view of the path: its GUID gone, one separator left before the rest.
    EXPECT_EQ(paths->front().getstring(databrowse::BrowsePath::f::path), "\\disk1\\folder");
    auto* criteriaLeft =
        cr.getlistobject(R::queries, false)->front().getlistobject(databrowse::Query::f::criteriaList, false);
    ASSERT_EQ(criteriaLeft->size(), 1u);
    EXPECT_EQ(criteriaLeft->front()
                  .getObjectAccessor(databrowse::Criteria::f::criteria, false)
                  ->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false)
                  ->front(),
              "other");
    CNMessageBase* childSettings = cr.getObjectAccessor(R::advOptions, false)
                                       ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    EXPECT_EQ(childSettings->getint64(databrowse::BrowseAdvancedConfig::f::forceProtocol), 2);
    EXPECT_FALSE(childSettings->isSet(databrowse::BrowseAdvancedConfig::f::flagBlock));
    EXPECT_EQ(childSettings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, false)
                  ->getint64(databrowse::Msg11::f::jobId),
              hv.jobs[3][1]);
    // Both requests are over: nothing stays registered.
    EXPECT_EQ(controller->getWorkerCount(), 0u);

    // A browse without queries gets the default query; a job without a child leaves no job block.
    seen.clear();
    auto browse = task({"\\" + hv.vms[2].guid + "\\disk1"});
    databrowse::BrowseRequest br = request();
    br.getObjectAccessor(R::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true)
        ->setint64(databrowse::Msg11::f::jobId, 999999);
    ASSERT_TRUE(run(*browse, br));
    ASSERT_EQ(seen.size(), 1u);
    databrowse::BrowseRequest& second = seen[0].second;
    EXPECT_EQ(second.getlistobject(R::paths, false)->front().getstring(databrowse::BrowsePath::f::path),
              "\\" + hv.vms[2].guid + "\\disk1");
    CNMessageBase& q = second.getlistobject(R::queries, false)->front();
    EXPECT_EQ(q.getObjectAccessor(databrowse::Query::f::dataParam, false)
                  ->getObjectAccessor(databrowse::DataParam::f::paging, false)
                  ->getint64(databrowse::Msg6::f::pageSize),
              4294967295LL);
    EXPECT_FALSE(second.getObjectAccessor(R::advOptions, false)
                     ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false)
                     ->isSet(databrowse::BrowseAdvancedConfig::f::jobBlock));
    EXPECT_EQ(controller->getWorkerCount(), 0u);

    long long childJob = -1, childKelmarch = -1;
    EXPECT_TRUE(CBrowseVSAClient::GetChildJobIdForParent(hv.jobs[1][0], 2, hv.vms[3].childBackupSetId,
                                                         childJob, childKelmarch));
    EXPECT_EQ(childJob, hv.jobs[1][4]);
    EXPECT_EQ(childKelmarch, 2);
    EXPECT_FALSE(
        CBrowseVSAClient::GetChildJobIdForParent(hv.jobs[1][0], 2, hv.backupSet, childJob, childKelmarch));
    EXPECT_EQ(childJob, 0);
}

TEST_F(VsaBrowseClient, MediaPredictionMergesTheVmsMedia) {
    auto predicted = [&](std::vector<std::string> paths, bool indexOnly, bool* ok = nullptr) {
        auto t = task(paths, databrowse::BROWSE_OP_MEDIA_PREDICTION);
        databrowse::BrowseRequest r = request(databrowse::BROWSE_OP_MEDIA_PREDICTION);
        if (indexOnly)
            r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::predictVSADB, 1);
        const bool done = run(*t, r);
        if (ok) *ok = done;
        std::vector<std::pair<int64_t, int64_t>> media;  // id, flags
        int64_t total = -1;
        for (const TAnswer& a : answers()) {
            if (a.type != 1) continue;
            EXPECT_EQ(a.resultId, "TotalMediaSize");
            total = a.aggregates.empty() ? -1 : a.aggregates[0];
            for (const CNMessageBase& p : a.predictions) {
                CNMessageBase* m = const_cast<CNMessageBase&>(p).getObjectAccessor(
                    databrowse::PredictionData::f::physicalMedia, false);
                media.emplace_back(m->getint64(databrowse::PhysicalMedia::f::mediaId),
                                   m->getint64(databrowse::PhysicalMedia::f::flags));
            }
        }
        return std::make_pair(media, total);
    };
    const auto& w = world.vmBrowse;
    // The shared medium holds index files of VMs 0 and 1 (flag 2) and data of VMs 0 and 2 (flag 8):
    // listed once as index only and once as index and data; the cloud medium carries flag 32.
    auto all = predicted({"\\"}, false);
    using M = std::vector<std::pair<int64_t, int64_t>>;
    EXPECT_EQ(all.first,
              (M{{w.sharedMedium, 2}, {w.sharedMedium, 10}, {w.secondMedium, 8}, {w.cloudMedium, 40}}));
    EXPECT_EQ(all.second, 4 * kGiB + 4 * kGiB + 2 * kGiB + 8 * kGiB);

    // Index media only: data media are dropped, the shared medium stays once.
    auto index = predicted({"\\"}, true);
    EXPECT_EQ(index.first, (M{{w.sharedMedium, 2}}));
    EXPECT_EQ(index.second, 4 * kGiB);

    // Named VMs only; a path naming no VM of the backup set is left out.
    auto named = predicted({"\\" + hv.vms[2].guid, "\\00000000-1111-2222-3333-444444444444"}, false);
    EXPECT_EQ(named.first, (M{{w.sharedMedium, 8}}));
    // A root path anywhere stands for every VM.
    EXPECT_EQ(predicted({"\\" + hv.vms[2].guid, "\\"}, false).first, all.first);

    // A media list that cannot be read fails the prediction instead of answering a short list.
    ASSERT_TRUE(hubtest::injectArchMgrFault({.op = ArchMgrOp::getMediaListForAppIdByTime,
                                             .result = -5,
                                             .subject = static_cast<uint64_t>(hv.vms[1].subclientId)}));
    bool ok = true;
    auto failed = predicted({"\\"}, false, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(failed.first.empty());
    EXPECT_EQ(controller->getWorkerCount(), 0u);
}

TEST_F(VsaBrowseClient, FindOverVmsThatNoMediaAgentHoldsFailsAndLeavesNothingRegistered) {
    const std::vector<std::string> paths{"\\00000000-1111-2222-3333-444444444444",
                                         "\\00000000-1111-2222-3333-555555555555"};
    auto t = task(paths, databrowse::BROWSE_OP_FIND);
    databrowse::BrowseRequest r = request(databrowse::BROWSE_OP_FIND);
    r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::multiVmFind, 1);
    EXPECT_FALSE(run(*t, r));
    EXPECT_EQ(types().front(), 3);
    EXPECT_NE(errorsText().find("no media agent holds"), std::string::npos) << errorsText();
    EXPECT_EQ(controller->getWorkerCount(), 0u) << "a find that was not sent waits for nothing";
}

TEST(VsaMediaList, SortsByMediumThenFlagsBeforeJoining) {
    auto medium = [](uint64_t id, uint64_t flags, uint64_t type = 1, const char* name = "M") {
        TMediaInfo m;
        m.mediaId = id;
        m.flags = flags;
        m.mediaType = type;
        m.mediaName = name;
        m.size = 100 * id;
        return m;
    };
    // Entries of one medium far apart in the list's order, disjoint flags, another name, cloud media.
    std::vector<TMediaInfo> media{medium(7, 8),        medium(3, 2),        medium(7, 10),
                                  medium(5, 8, 10001), medium(7, 2),        medium(3, 8, 1, "N"),
                                  medium(5, 8, 10001), medium(9, 2, 10001), medium(9, 8, 10001)};
    ASSERT_TRUE(CBrowseVSAClient::NormalizeMediaList(&media));
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const TMediaInfo& m : media) got.emplace_back(m.mediaId, m.flags);
    EXPECT_EQ(got, (std::vector<std::pair<uint64_t, uint64_t>>{
                       {3, 2}, {3, 8}, {5, 40}, {7, 2}, {7, 10}, {9, 34}, {9, 8 | 32}}));
    EXPECT_FALSE(CBrowseVSAClient::NormalizeMediaList(nullptr));
    EXPECT_TRUE(CBrowseVSAClient::IsRootPath("/"));
    EXPECT_TRUE(CBrowseVSAClient::IsRootPath("\\"));
    EXPECT_FALSE(CBrowseVSAClient::IsRootPath(""));
    EXPECT_FALSE(CBrowseVSAClient::IsRootPath("\\x"));
}

}  // namespace

namespace {

TEST_F(VsaBrowseClient, UserWithRightsOnOneVmBrowsesThatVmOnly) {
    std::vector<std::pair<EvMultiEntityRestoreTask, databrowse::BrowseRequest>> seen;
    controller->setWorkerFactory([&] { return std::make_shared<RecordingWorker>(firstVmClient, &seen); });
    auto asOwner = [&](std::vector<std::string> paths, bool multiFind = false) {
        auto t = task(paths, multiFind ? databrowse::BROWSE_OP_FIND : databrowse::BROWSE_OP_BROWSE);
        t->setUserId(world.vmBrowse.vmUser);
        t->setUserName("vmowner");
        databrowse::BrowseRequest r =
            request(multiFind ? databrowse::BROWSE_OP_FIND : databrowse::BROWSE_OP_BROWSE);
        if (multiFind)
            r.getObjectAccessor(R::options, true)->setint64(databrowse::BrowseOptions::f::multiVmFind, 1);
        return run(*t, r);
    };
    // The root lists every VM: only for users of the hypervisor.
    EXPECT_FALSE(asOwner({"\\"}));
    auto refused = answers();
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.front().type, 3);
    for (const TAnswer& a : refused) EXPECT_TRUE(a.items.empty());
    // Another VM, alone or with the own one, is refused before anything is asked.
    EXPECT_FALSE(asOwner({"\\" + hv.vms[1].guid + "\\disk"}));
    EXPECT_FALSE(asOwner({"\\" + hv.vms[0].guid, "\\" + hv.vms[1].guid}, true));
    EXPECT_TRUE(seen.empty());
    // The own VM runs as its own request.
    EXPECT_TRUE(asOwner({"\\" + hv.vms[0].guid + "\\disk"})) << errorsText();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first.getClientId(), hv.vms[0].clientId);
    EXPECT_EQ(seen[0].first.getUserId(), world.vmBrowse.vmUser);
    EXPECT_EQ(controller->getWorkerCount(), 0u);
}

}  // namespace
